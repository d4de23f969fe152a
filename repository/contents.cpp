#include "repository/repository.h"

#include "package/format/format.h"
#include "package/record/record_reporter.h"
#include "package/record/version.h"
#include "package/signature/signature.h"

#include <cerrno>
#include <unistd.h>

namespace installer {

namespace {

constexpr uint32_t payloadStep = 4096;

// A package passes when its signature part holds a valid signature, or, unsigned, when its
// digest is one of the known ones. The reader stands after the last part of the package.
bool verifyPackage(PackageReader& reader) {
    if (reader.kind() == partSignature) {
        if (!reader.verifySignature())
            return false;
        reader.next();
        return true;
    }
    uint8_t digest[20];
    return reader.takeDigest(digest) && isKnownDigest(digest);
}

} // namespace

std::string Repository::installLabel(const InstalledPackage& package) const {
    std::string label = "installing ";
    if (package.disabled && package.bundle.name.empty())
        label += " (disabled) ";
    return label + displayLabel(package, package.bundle);
}

bool Repository::installContents(InstalledPackage& package, PackageReader& reader,
                                 const InstallationRoot& root) {
    std::string label = installLabel(package);
    showProgress(reader, label);
    bool unregistered = reader.isUnregistered();
    if (!unregistered && !package.makeDatabaseDirectory(root))
        return false;

    if (reader.kind() == partPayload) {
        // Passed over, never unpacked; the bar moves with it.
        while (reader.remaining() > 0) {
            showProgress(reader, label);
            uint32_t step = std::min(reader.remaining(), payloadStep);
            if (!reader.seekg(step, std::ios::cur))
                break;
        }
        reader.next();
    }

    struct Script {
        int kind;
        const char* name;
    };
    for (Script script :
         {Script{partOnInstall, "oninstall"}, Script{partOnUninstall, "onuninstall"}}) {
        if (reader.kind() != script.kind)
            continue;
        // A package with a payload never keeps an install script.
        if (script.kind == partOnInstall && package.hasPayload) {
            reader.next();
            continue;
        }
        ScriptResult result =
            writeScriptFile(package, reader, reader.partLength(), script.name, root, *this);
        if (result != ScriptResult::written) {
            // A script that could not be written is named once more as the step that failed;
            // one cut short was already reported as a broken package.
            if (result == ScriptResult::notCreated)
                reportCreateFailure(*this, package, script.name);
            package.remove(root);
            return false;
        }
        reader.next();
    }

    if (reader.kind() == partArchive) {
        if (!extractFiles(package, reader, unregistered, root)) {
            package.remove(root);
            return false;
        }
        reader.next();
    }

    if (!verifyPackage(reader)) {
        reportBrokenPackage(*this, package);
        package.remove(root);
        return false;
    }
    if (!unregistered && !package.save(root, *this)) {
        package.remove(root);
        return false;
    }
    // The files count as installed once the disk has them: a write the disk refused surfaces
    // only here, when the cache is written back (the descriptor saw none before the package).
    if (root.descriptor() >= 0 ? syncfs(root.descriptor()) != 0 : (sync(), false)) {
        reportCreateFailure(*this, package, root.directory(), errno);
        package.remove(root);
        return false;
    }
    if (!package.disabled)
        runScript(package, "oninstall");
    if (!package.bundle.name.empty())
        return true;
    setStatus("");
    info("installed %s%s", package.disabled ? "(disabled) " : "", packageLabel(package).c_str());
    return true;
}

} // namespace installer
