#include "repository/install_stream.h"

#include "package/format/format.h"
#include "package/record/record_header.h"
#include "package/record/version.h"

#include <algorithm>
#include <set>

namespace installer {

namespace {

// The parts an installation reads, in the order they come; the description is not kept.
constexpr int wantedKinds[] = {partHeader,  partBundleHeader, partMembers,     partArchitecture,
                               partDepends, partProvides,     partConflicts,   partPayload,
                               partArchive, partOnInstall,    partOnUninstall, partSignature};

// Takes the record out of the repository without touching its files.
std::unique_ptr<InstalledPackage> takeOut(Repository& repository, const InstalledPackage* record) {
    auto& records = repository.packages;
    auto at = std::find_if(records.begin(), records.end(),
                           [&](const auto& entry) { return entry.get() == record; });
    if (at == records.end())
        return nullptr;
    std::unique_ptr<InstalledPackage> taken = std::move(*at);
    records.erase(at);
    return taken;
}

bool holds(const Repository& repository, const InstalledPackage* record) {
    for (const auto& entry : repository.packages)
        if (entry.get() == record)
            return true;
    return false;
}

// Plans the installed set with `package` in place of the installed record of its name, then
// removes that old version's files and record.
void replaceOldVersion(Repository& repository, const InstallationRoot& root,
                       std::unique_ptr<InstalledPackage>& package) {
    int index = repository.findIndex(package->name);
    std::unique_ptr<InstalledPackage> old;
    if (index >= 0) {
        old = std::move(repository.packages[size_t(index)]);
        repository.packages.erase(repository.packages.begin() + index);
    }
    InstalledPackage* standing = package.get();
    repository.add(std::move(package));
    applyChanges(repository, true);
    if (old)
        old->remove(root);
    // Nothing the plan could do to it is expected (its check passed), but it is looked for
    // rather than assumed to be the last record.
    package = takeOut(repository, standing);
}

// An enabled record that excludes every version of `name`: a listed optional member then
// goes in disabled, and stays so in this process's plans.
std::unique_ptr<InstalledPackage> optionalMemberPlaceholder(const std::string& name) {
    auto placeholder = std::make_unique<InstalledPackage>();
    placeholder->conflicts.push_back({name, 0, 0, 0});
    return placeholder;
}

} // namespace

int installPackageStream(Repository& repository, std::istream& in, unsigned accepted,
                         std::streambuf* tee, std::string* payloadDirectory) {
    PackageReader reader(in, true, tee);
    for (int kind : wantedKinds)
        reader.want(kind);
    InstallationRoot root = InstallationRoot::target();
    if (reader.next() == partBundleHeader)
        return installBundle(repository, reader, root, accepted, payloadDirectory);
    return installPackage(repository, reader, root, accepted, nullptr, payloadDirectory)
               ? streamInstalled
               : streamFailed;
}

InstalledPackage* installPackage(Repository& repository, PackageReader& reader,
                                 const InstallationRoot& root, unsigned accepted,
                                 const Requirement* bundle, std::string* payloadDirectory) {
    auto package = std::make_unique<InstalledPackage>();
    if (!readHeader(*package, reader) || package->isBundle)
        return nullptr;
    if (package->hasPayload && payloadDirectory)
        *payloadDirectory = package->databaseDirectory(root);

    unsigned reasons =
        checkInstall(repository, *package, bundle ? allReasons : accepted | conflicting);
    package->disabled = false;
    package->userChoice = false;
    if (reasons & conflicting) {
        reasons &= ~unsigned(conflicting);
        package->disabled = true;
    }
    if ((reasons & sameInstalled) || (reasons & ~accepted)) {
        if (!bundle)
            return nullptr;
        // The rest of this member is passed over; a same or newer version counts as present.
        while (reader && reader.kind() != partHeader)
            reader.next();
        return repository.find(package->name);
    }

    if (bundle)
        package->bundle = *bundle;
    if (!reader.isUnregistered()) {
        replaceOldVersion(repository, root, package);
        if (!package)
            return nullptr;
    }
    if (!repository.installContents(*package, reader, root))
        return nullptr;
    InstalledPackage* installed = package.get();
    repository.add(std::move(package));
    applyChanges(repository, false);
    return holds(repository, installed) ? installed : nullptr;
}

int installBundle(Repository& repository, PackageReader& reader, const InstallationRoot& root,
                  unsigned accepted, std::string* payloadDirectory) {
    auto bundle = std::make_unique<InstalledPackage>();
    if (!readHeader(*bundle, reader) || !bundle->isBundle)
        return streamFailed;
    if (reader.kind() == partPayload)
        reader.next();
    if (bundle->hasPayload && payloadDirectory)
        *payloadDirectory = bundle->databaseDirectory(root);

    unsigned memberAccepted = accepted | sameInstalled;
    if (checkInstall(repository, *bundle, memberAccepted) & ~memberAccepted)
        return streamBundleRefused;

    repository.removeByName(bundle->name);
    if (!bundle->store(repository))
        return streamFailed;
    if (InstalledPackage* stale = repository.find(bundle->name))
        takeOut(repository, stale);
    const std::string name = bundle->name;
    const Requirement reference{name, bundle->version, bundle->version, 0};
    const uint32_t version = bundle->version;
    repository.add(std::move(bundle));

    std::set<std::string> oldMembers;
    for (const auto& record : repository.packages)
        if (record->bundle.name == name)
            oldMembers.insert(record->name);

    if (reader.kind() == partMembers) {
        std::vector<Requirement> optional;
        readRequirementList(reader, optional); // a list cut short still names what it read
        for (const Requirement& entry : optional)
            repository.add(optionalMemberPlaceholder(entry.name));
        reader.next();
    }

    unsigned installed = 0;
    while (reader.kind() == partHeader) {
        uint64_t before = reader.position();
        InstalledPackage* member =
            installPackage(repository, reader, root, memberAccepted, &reference, nullptr);
        if (member) {
            oldMembers.erase(member->name);
            ++installed;
        } else if (reader.kind() == partHeader && reader.position() == before) {
            // A member whose header could not be used leaves the reader where it was; moving
            // on keeps the loop from reading the same part for ever.
            reader.next();
        }
    }
    if (installed == 0)
        return streamNoMemberInstalled;

    for (const std::string& gone : oldMembers)
        if (InstalledPackage* record = repository.find(gone))
            record->scheduled = scheduleUninstall;
    applyChanges(repository, false);
    repository.setStatus("");
    repository.info("installed %s", bundleLabel(name, version).c_str());
    return streamInstalled;
}

} // namespace installer
