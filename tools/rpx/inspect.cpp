#include "tools/rpx/inspect.h"

#include "package/format/hex_text.h"
#include "package/format/reader.h"
#include "package/signature/signature.h"
#include "tools/rpx/inspect_output.h"

#include <vector>

namespace rpx {

using namespace installer;

namespace {

constexpr uint32_t maxLinkTarget = 4096;

class Inspector {
public:
    Inspector(std::streambuf* in, InspectOutput& out, const uint8_t* key)
        : reader(in, true), out(out), key(key) {}

    bool run(const std::string& name, std::string& error);

private:
    bool fail(const std::string& what) {
        problem = what;
        return false;
    }
    bool part(int kind);
    bool text(const char* field);
    bool requirements();
    bool archive();
    void closePackage();

    PackageReader reader;
    InspectOutput& out;
    const uint8_t* key;
    std::string problem;
    std::vector<PackageSummary> packages;
    bool inPackage = false;
};

bool Inspector::text(const char* field) {
    out.beginText(field);
    char buffer[4096];
    uint32_t left = reader.partLength();
    while (left > 0) {
        uint32_t want = left < sizeof buffer ? left : uint32_t(sizeof buffer);
        reader.read(buffer, want);
        out.textPiece(std::string_view(buffer, size_t(reader.gcount())));
        if (uint32_t(reader.gcount()) != want) {
            out.endText();
            return fail("part cut short");
        }
        left -= want;
    }
    out.endText();
    return true;
}

bool Inspector::requirements() {
    uint8_t count[2];
    if (reader.partLength() < 2 || !reader.read(reinterpret_cast<char*>(count), 2))
        return fail("requirement list without its count");
    unsigned n = loadLe16(count);
    if (uint64_t(n) * requirementRecordSize + 2 > reader.partLength())
        return fail("requirement list shorter than its count of " + std::to_string(n));
    out.beginRequirements();
    for (unsigned i = 0; i < n; ++i) {
        uint8_t record[requirementRecordSize];
        if (!reader.read(reinterpret_cast<char*>(record), sizeof record)) {
            out.endRequirements();
            return fail("requirement list cut short");
        }
        out.requirement(decodeRequirement(record));
    }
    out.endRequirements();
    return true;
}

bool Inspector::archive() {
    InflatingStream in(reader);
    out.beginEntries();
    bool ok = true;
    std::string name, target;
    for (;;) {
        uint8_t head[fileEntryHeaderSize];
        in.read(reinterpret_cast<char*>(head), sizeof head);
        if (in.gcount() == 0 && in.inflater().complete())
            break;
        if (in.gcount() != std::streamsize(sizeof head)) {
            ok = fail("file archive damaged or cut short inside an entry header");
            break;
        }
        FileEntryHeader e = decodeFileEntry(head);
        name.resize(e.nameLength);
        if (!in.read(name.data(), e.nameLength)) {
            ok = fail("file archive damaged or cut short inside an entry name");
            break;
        }
        unsigned type = e.mode & 0xF000;
        uint32_t device = 0;
        target.clear();
        if (type == 0xA000 && !e.skip) {
            if (e.dataSize > maxLinkTarget) {
                ok = fail("symbolic link " + name + " with a target of " +
                          std::to_string(e.dataSize) + " bytes");
                break;
            }
            target.resize(e.dataSize);
            if (!in.read(target.data(), e.dataSize)) {
                ok = fail("file archive cut short in the target of " + name);
                break;
            }
        } else if ((type == 0x2000 || type == 0x6000) && !e.skip) {
            uint8_t number[4];
            if (e.dataSize != 4 || !in.read(reinterpret_cast<char*>(number), 4)) {
                ok = fail("device " + name + " without its 4-byte number");
                break;
            }
            device = loadLe32(number);
        } else if (e.dataSize > 0 && !in.seekg(e.dataSize, std::ios_base::cur)) {
            ok = fail("file archive cut short in the data of " + name);
            break;
        }
        out.entry(e, name, target, device);
    }
    out.endEntries(in.inflater().totalOut());
    if (ok && in.inflater().damaged())
        return fail("file archive damaged");
    return ok;
}

void Inspector::closePackage() {
    if (!inPackage)
        return;
    PackageSummary& s = packages.back();
    // A signed package's digest was taken at its signature; what is ready now covers nothing.
    uint8_t digest[20];
    if (reader.takeDigest(digest) && s.verdict.empty())
        s.digest = hexText(digest, 20);
    if (s.verdict.empty())
        s.verdict = "unsigned";
    s.knownDigest = s.verdict != "valid" && !s.digest.empty() && isKnownDigest(digest);
    inPackage = false;
}

bool Inspector::part(int kind) {
    out.beginPart(kind, reader.position(), reader.partLength());
    bool ok = true;
    switch (kind) {
    case partHeader:
    case partBundleHeader: {
        uint8_t body[headerBodySize];
        if (reader.partLength() < headerBodySize ||
            !reader.read(reinterpret_cast<char*>(body), sizeof body)) {
            ok = fail("header shorter than 32 bytes");
            break;
        }
        HeaderBody h = decodeHeaderBody(body);
        out.header(h);
        if (kind == partHeader) {
            packages.push_back({h.name, h.version, "", "", false});
            inPackage = true;
        }
        break;
    }
    case partArchitecture:
    case partDescription:
    case partOnInstall:
    case partOnUninstall:
        ok = text(kind == partArchitecture  ? "architecture"
                  : kind == partDescription ? "description"
                                            : "script");
        break;
    case partDepends:
    case partConflicts:
    case partProvides:
    case partMembers:
        ok = requirements();
        break;
    case partArchive:
        ok = archive();
        break;
    case partSignature: {
        if (!inPackage) {
            ok = fail("signature part outside a package");
            break;
        }
        bool valid = reader.verifySignature(key);
        std::string verdict = valid ? "valid" : "invalid";
        out.signature(verdict);
        packages.back().verdict = verdict;
        uint8_t digest[20];
        if (reader.takeDigest(digest))
            packages.back().digest = hexText(digest, 20);
        break;
    }
    default:
        break;
    }
    out.endPart();
    return ok;
}

bool Inspector::run(const std::string& name, std::string& error) {
    out.beginFile(name, reader.magic(), reader.totalSize());
    out.beginParts();
    bool ok = !reader.fail() || fail("not a package file");
    for (int kind = 0; kind <= 0xffff; ++kind)
        reader.want(kind);
    while (ok) {
        int kind = reader.next();
        if (kind == partHeader || kind < 0)
            closePackage();
        if (kind < 0)
            break;
        ok = part(kind);
    }
    out.endParts();
    for (const auto& p : packages)
        out.package(p);
    if (ok && reader.truncated())
        ok = fail("cut short");
    if (ok && reader.overlong())
        ok = fail("declared length " + std::to_string(reader.totalSize()) +
                  " ends before the file does");
    if (ok && reader.position() != reader.totalSize())
        ok = fail("declared length " + std::to_string(reader.totalSize()) +
                  " differs from the length read " + std::to_string(reader.position()));
    out.endFile(ok, problem);
    error = problem;
    return ok;
}

} // namespace

bool inspectPackageStream(std::streambuf* in, const std::string& name, bool json,
                          const uint8_t* publicKey, std::ostream& out, std::string& error) {
    auto output = json ? jsonOutput(out) : textOutput(out);
    Inspector inspector(in, *output, publicKey);
    return inspector.run(name, error);
}

} // namespace rpx
