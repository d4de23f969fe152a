#include "tools/rpx/inspect_output.h"

#include "package/record/version.h"

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
        json.stringField("file", name);
        json.booleanField("unregistered", magic == unregisteredMagic);
        json.numberField("totalSize", int64_t(totalSize));
    }
    void beginParts() override {
        json.key("parts");
        json.beginArray();
    }
    void beginPart(int kind, uint32_t offset, uint32_t length) override {
        json.beginObject();
        json.numberField("kind", kind);
        json.stringField("type", partName(kind));
        json.numberField("offset", offset);
        json.numberField("length", length);
    }
    void header(const HeaderBody& h) override {
        json.stringField("name", h.name);
        json.stringField("version", formatVersion(h.version));
        json.numberField("versionWord", h.version);
        json.numberField("buildTime", h.buildTime);
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
        json.stringField("name", r.name);
        json.stringField("minVersion", r.minVersion ? formatVersion(r.minVersion) : "");
        json.stringField("maxVersion", r.maxVersion ? formatVersion(r.maxVersion) : "");
        json.numberField("priority", r.priority);
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
        json.stringField("name", name);
        json.stringField("type", entryType(e.mode));
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(e.mode & 07777));
        json.stringField("mode", mode);
        json.numberField("uid", e.uid);
        json.numberField("gid", e.gid);
        json.numberField("mtime", e.mtime);
        json.numberField("size", e.dataSize);
        json.booleanField("skip", e.skip);
        if ((e.mode & 0xF000) == 0xA000) {
            json.stringField("target", target);
        }
        if ((e.mode & 0xF000) == 0x2000 || (e.mode & 0xF000) == 0x6000) {
            json.numberField("device", device);
        }
        json.endObject();
    }
    void endEntries(uint64_t inflatedSize) override {
        json.endArray();
        json.numberField("inflatedSize", int64_t(inflatedSize));
    }
    void signature(const std::string& verdict) override { json.stringField("verdict", verdict); }
    void endPart() override { json.endObject(); }
    void endParts() override { json.endArray(); }
    void package(const PackageSummary& s) override {
        if (!inPackages) {
            json.key("packages");
            json.beginArray();
            inPackages = true;
        }
        json.beginObject();
        json.stringField("name", s.name);
        json.stringField("version", formatVersion(s.version));
        json.stringField("digest", s.digest);
        json.stringField("signature", s.verdict);
        json.booleanField("knownDigest", s.knownDigest);
        json.endObject();
    }
    void endFile(bool ok, const std::string& error) override {
        if (!inPackages) {
            json.key("packages");
            json.beginArray();
        }
        json.endArray();
        json.booleanField("ok", ok);
        json.stringField("error", error);
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
