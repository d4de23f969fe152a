#include "tools/rpx/inspect_output.h"

#include "package/version.h"

#include <cstdio>

namespace rpx {

using namespace installer;

const char* partName(int kind) {
    switch (kind) {
    case partHeader:
        return "header";
    case partDescription:
        return "description";
    case partDepends:
        return "depends";
    case partArchive:
        return "archive";
    case partOnInstall:
        return "oninstall";
    case partOnUninstall:
        return "onuninstall";
    case partSignature:
        return "signature";
    case partArchitecture:
        return "architecture";
    case partConflicts:
        return "conflicts";
    case partBundleHeader:
        return "bundle-header";
    case partProvides:
        return "provides";
    case partMembers:
        return "members";
    case partPayload:
        return "payload";
    default:
        return "unknown";
    }
}

namespace {

const char* entryType(uint16_t mode) {
    switch (mode & 0xF000) {
    case 0x8000:
        return "file";
    case 0x4000:
        return "directory";
    case 0xA000:
        return "symlink";
    case 0x2000:
        return "char-device";
    case 0x6000:
        return "block-device";
    case 0x1000:
        return "fifo";
    default:
        return "unknown";
    }
}

std::string bound(uint32_t version) {
    return version ? formatVersion(version) : "-";
}

class TextOutput : public InspectOutput {
public:
    explicit TextOutput(std::ostream& out) : out(out) {}
    void beginFile(const std::string& name, uint32_t magic, uint64_t totalSize) override {
        out << name << ": "
            << (magic == unregisteredMagic ? "unregistered package file" : "package file") << ", "
            << totalSize << " bytes\n";
    }
    void beginParts() override {}
    void beginPart(int kind, uint32_t offset, uint32_t length) override {
        out << "part " << kind << " " << partName(kind) << " at " << offset << ", " << length
            << " bytes";
    }
    void header(const HeaderBody& h) override {
        out << ": " << printable(h.name) << " " << formatVersion(h.version) << ", built "
            << h.buildTime;
    }
    void beginText(const char*) override { out << ":\n    "; }
    void textPiece(std::string_view text) override {
        for (char c : text) {
            if (c == '\n')
                out << "\n    ";
            else
                out << printable(std::string_view(&c, 1));
        }
    }
    void endText() override {}
    void beginRequirements() override { out << ":"; }
    void requirement(const RequirementRecord& r) override {
        out << "\n    " << printable(r.name) << " " << bound(r.minVersion) << " "
            << bound(r.maxVersion) << " priority " << r.priority;
    }
    void endRequirements() override {}
    void beginEntries() override { out << ":"; }
    void entry(const FileEntryHeader& e, std::string_view name, std::string_view target,
               uint32_t device) override {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%06o", unsigned(e.mode));
        out << "\n    " << mode << " " << e.uid << "/" << e.gid << " " << e.mtime << " "
            << e.dataSize << " " << printable(name);
        if ((e.mode & 0xF000) == 0xA000)
            out << " -> " << printable(target);
        if ((e.mode & 0xF000) == 0x2000 || (e.mode & 0xF000) == 0x6000)
            out << " device " << device;
        if (e.skip)
            out << " (skipped)";
    }
    void endEntries(uint64_t inflatedSize) override {
        out << "\n    (" << inflatedSize << " bytes inflated)";
    }
    void signature(const std::string& verdict) override { out << ": " << verdict; }
    void endPart() override { out << "\n"; }
    void endParts() override {}
    void package(const PackageSummary& s) override {
        out << "package " << printable(s.name) << "-" << formatVersion(s.version) << ": digest "
            << (s.digest.empty() ? "none" : s.digest) << ", signature " << s.verdict;
        if (s.verdict != "valid")
            out << (s.knownDigest ? ", known digest" : ", digest not known");
        out << "\n";
    }
    void endFile(bool ok, const std::string& error) override {
        if (!ok)
            out << "damaged: " << error << "\n";
    }

private:
    static std::string printable(std::string_view text) {
        std::string s;
        for (unsigned char c : text) {
            if (c < 0x20 || c >= 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                s += escaped;
            } else {
                s += char(c);
            }
        }
        return s;
    }
    std::ostream& out;
};

class JsonOutput : public InspectOutput {
public:
    explicit JsonOutput(std::ostream& out) : json(out) {}
    void beginFile(const std::string& name, uint32_t magic, uint64_t totalSize) override {
        json.beginObject();
        json.key("file");
        json.string(name);
        json.key("unregistered");
        json.boolean(magic == unregisteredMagic);
        json.key("totalSize");
        json.number(int64_t(totalSize));
    }
    void beginParts() override {
        json.key("parts");
        json.beginArray();
    }
    void beginPart(int kind, uint32_t offset, uint32_t length) override {
        json.beginObject();
        json.key("kind");
        json.number(kind);
        json.key("type");
        json.string(partName(kind));
        json.key("offset");
        json.number(offset);
        json.key("length");
        json.number(length);
    }
    void header(const HeaderBody& h) override {
        json.key("name");
        json.string(h.name);
        json.key("version");
        json.string(formatVersion(h.version));
        json.key("versionWord");
        json.number(h.version);
        json.key("buildTime");
        json.number(h.buildTime);
    }
    void beginText(const char* field) override {
        json.key(field);
        json.beginString();
    }
    void textPiece(std::string_view text) override { json.stringPiece(text); }
    void endText() override { json.endString(); }
    void beginRequirements() override {
        json.key("requirements");
        json.beginArray();
    }
    void requirement(const RequirementRecord& r) override {
        json.beginObject();
        json.key("name");
        json.string(r.name);
        json.key("minVersion");
        json.string(r.minVersion ? formatVersion(r.minVersion) : "");
        json.key("maxVersion");
        json.string(r.maxVersion ? formatVersion(r.maxVersion) : "");
        json.key("priority");
        json.number(r.priority);
        json.endObject();
    }
    void endRequirements() override { json.endArray(); }
    void beginEntries() override {
        json.key("entries");
        json.beginArray();
    }
    void entry(const FileEntryHeader& e, std::string_view name, std::string_view target,
               uint32_t device) override {
        json.beginObject();
        json.key("name");
        json.string(name);
        json.key("type");
        json.string(entryType(e.mode));
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(e.mode & 07777));
        json.key("mode");
        json.string(mode);
        json.key("uid");
        json.number(e.uid);
        json.key("gid");
        json.number(e.gid);
        json.key("mtime");
        json.number(e.mtime);
        json.key("size");
        json.number(e.dataSize);
        json.key("skip");
        json.boolean(e.skip);
        if ((e.mode & 0xF000) == 0xA000) {
            json.key("target");
            json.string(target);
        }
        if ((e.mode & 0xF000) == 0x2000 || (e.mode & 0xF000) == 0x6000) {
            json.key("device");
            json.number(device);
        }
        json.endObject();
    }
    void endEntries(uint64_t inflatedSize) override {
        json.endArray();
        json.key("inflatedSize");
        json.number(int64_t(inflatedSize));
    }
    void signature(const std::string& verdict) override {
        json.key("verdict");
        json.string(verdict);
    }
    void endPart() override { json.endObject(); }
    void endParts() override { json.endArray(); }
    void package(const PackageSummary& s) override {
        if (!inPackages) {
            json.key("packages");
            json.beginArray();
            inPackages = true;
        }
        json.beginObject();
        json.key("name");
        json.string(s.name);
        json.key("version");
        json.string(formatVersion(s.version));
        json.key("digest");
        json.string(s.digest);
        json.key("signature");
        json.string(s.verdict);
        json.key("knownDigest");
        json.boolean(s.knownDigest);
        json.endObject();
    }
    void endFile(bool ok, const std::string& error) override {
        if (!inPackages) {
            json.key("packages");
            json.beginArray();
        }
        json.endArray();
        json.key("ok");
        json.boolean(ok);
        json.key("error");
        json.string(error);
        json.endObject();
    }

private:
    JsonWriter json;
    bool inPackages = false;
};

} // namespace

std::unique_ptr<InspectOutput> textOutput(std::ostream& out) {
    return std::make_unique<TextOutput>(out);
}
std::unique_ptr<InspectOutput> jsonOutput(std::ostream& out) {
    return std::make_unique<JsonOutput>(out);
}

} // namespace rpx
