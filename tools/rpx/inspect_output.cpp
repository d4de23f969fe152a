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
    void beginPart(int kind, uint64_t offset, uint32_t length) override {
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

// The document grows as the inspection goes: each open object, array or text sits on a stack
// with the key it will have in its parent, and is moved into the parent when it closes.
class JsonOutput : public InspectOutput {
public:
    explicit JsonOutput(std::ostream& out) : out(out) {}
    void beginFile(const std::string& name, uint32_t magic, uint64_t totalSize) override {
        open("", Json::object());
        top()["file"] = byteString(name);
        top()["unregistered"] = magic == unregisteredMagic;
        top()["totalSize"] = int64_t(totalSize);
    }
    void beginParts() override { open("parts", Json::array()); }
    void beginPart(int kind, uint64_t offset, uint32_t length) override {
        open("", Json::object());
        top()["kind"] = kind;
        top()["type"] = partName(kind);
        top()["offset"] = offset;
        top()["length"] = length;
    }
    void header(const HeaderBody& h) override {
        top()["name"] = byteString(h.name);
        top()["version"] = formatVersion(h.version);
        top()["versionWord"] = h.version;
        top()["buildTime"] = h.buildTime;
    }
    void beginText(const char* field) override {
        textField = field;
        text.clear();
    }
    void textPiece(std::string_view piece) override { text += piece; }
    void endText() override { top()[textField] = byteString(text); }
    void beginRequirements() override { open("requirements", Json::array()); }
    void requirement(const RequirementRecord& r) override {
        top().push_back(Json{{"name", byteString(r.name)},
                             {"minVersion", r.minVersion ? formatVersion(r.minVersion) : ""},
                             {"maxVersion", r.maxVersion ? formatVersion(r.maxVersion) : ""},
                             {"priority", r.priority}});
    }
    void endRequirements() override { close(); }
    void beginEntries() override { open("entries", Json::array()); }
    void entry(const FileEntryHeader& e, std::string_view name, std::string_view target,
               uint32_t device) override {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(e.mode & 07777));
        Json entry = {{"name", byteString(name)},
                      {"type", entryType(e.mode)},
                      {"mode", mode},
                      {"uid", e.uid},
                      {"gid", e.gid},
                      {"mtime", e.mtime},
                      {"size", e.dataSize},
                      {"skip", bool(e.skip)}};
        if ((e.mode & 0xF000) == 0xA000)
            entry["target"] = byteString(target);
        if ((e.mode & 0xF000) == 0x2000 || (e.mode & 0xF000) == 0x6000)
            entry["device"] = device;
        top().push_back(std::move(entry));
    }
    void endEntries(uint64_t inflatedSize) override {
        close();
        top()["inflatedSize"] = int64_t(inflatedSize);
    }
    void signature(const std::string& verdict) override { top()["verdict"] = verdict; }
    void endPart() override { close(); }
    void endParts() override { close(); }
    void package(const PackageSummary& s) override {
        packages.push_back(Json{{"name", byteString(s.name)},
                                {"version", formatVersion(s.version)},
                                {"digest", s.digest},
                                {"signature", s.verdict},
                                {"knownDigest", s.knownDigest}});
    }
    void endFile(bool ok, const std::string& error) override {
        top()["packages"] = std::move(packages);
        top()["ok"] = ok;
        top()["error"] = byteString(error);
        writeJson(out, stack.back().second);
        stack.clear();
    }

private:
    Json& top() { return stack.back().second; }
    void open(const char* key, Json value) { stack.emplace_back(key, std::move(value)); }
    void close() {
        auto [key, value] = std::move(stack.back());
        stack.pop_back();
        if (top().is_array())
            top().push_back(std::move(value));
        else
            top()[key] = std::move(value);
    }

    std::ostream& out;
    std::vector<std::pair<std::string, Json>> stack;
    std::string textField, text;
    Json packages = Json::array();
};

} // namespace

std::unique_ptr<InspectOutput> textOutput(std::ostream& out) {
    return std::make_unique<TextOutput>(out);
}
std::unique_ptr<InspectOutput> jsonOutput(std::ostream& out) {
    return std::make_unique<JsonOutput>(out);
}

} // namespace rpx
