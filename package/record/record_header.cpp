#include "package/record/record_header.h"

#include "package/format/format.h"

namespace installer {

namespace {

// Texts of the header parts are small; a part that claims more is not a package's header.
constexpr uint32_t maxArchitectureLength = 256;
constexpr uint32_t maxDescriptionLength = 1u << 20;

bool isWordCharacter(unsigned char c) {
    return c > 0x20 && c != 0x7f;
}

// The whole body of the current part, read in pieces so that memory follows the bytes that
// actually arrive, never the declared length.
bool readBody(PackageReader& reader, uint32_t limit, std::string& text) {
    uint32_t length = reader.partLength();
    if (length > limit)
        return false;
    text.clear();
    char chunk[4096];
    while (text.size() < length) {
        size_t want = std::min<size_t>(sizeof chunk, length - text.size());
        reader.read(chunk, std::streamsize(want));
        if (size_t(reader.gcount()) != want)
            return false;
        text.append(chunk, want);
    }
    return true;
}

} // namespace

bool isUsablePackageName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (!isWordCharacter(c) || c == '/')
            return false;
    return true;
}

bool isUsableRequirementName(const std::string& name) {
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (!isWordCharacter(c))
            return false;
    return true;
}

bool readRequirementList(PackageReader& reader, std::vector<Requirement>& list) {
    uint8_t countBytes[2];
    reader.read(reinterpret_cast<char*>(countBytes), 2);
    if (reader.gcount() != 2)
        return false;
    unsigned count = loadLe16(countBytes);
    for (unsigned i = 0; i < count; ++i) {
        uint8_t record[requirementRecordSize];
        reader.read(reinterpret_cast<char*>(record), requirementRecordSize);
        if (reader.gcount() != requirementRecordSize)
            return false;
        RequirementRecord decoded = decodeRequirement(record);
        if (!isUsableRequirementName(decoded.name))
            return false;
        list.push_back({decoded.name, decoded.minVersion, decoded.maxVersion, decoded.priority});
    }
    return true;
}

bool readHeader(Package& package, PackageReader& reader) {
    int kind = reader.kind();
    if (kind != partHeader && kind != partBundleHeader)
        return false;
    package.isBundle = kind == partBundleHeader;
    uint8_t body[headerBodySize];
    reader.read(reinterpret_cast<char*>(body), headerBodySize);
    if (reader.gcount() != headerBodySize)
        return false;
    HeaderBody header = decodeHeaderBody(body);
    if (!isUsablePackageName(header.name))
        return false;
    package.name = header.name;
    package.version = header.version;
    package.buildTime = header.buildTime;
    reader.next();

    if (reader.kind() == partArchitecture) {
        if (!readBody(reader, maxArchitectureLength, package.architecture))
            return false;
        reader.next();
    } else {
        package.architecture = "i386";
    }
    if (reader.kind() == partDescription) {
        if (!readBody(reader, maxDescriptionLength, package.description))
            return false;
        reader.next();
    }
    if (reader.kind() == partDepends) {
        if (!readRequirementList(reader, package.depends))
            return false;
        reader.next();
    }
    if (reader.kind() == partProvides) {
        if (!readRequirementList(reader, package.provides))
            return false;
        reader.next();
    }
    if (reader.kind() == partConflicts) {
        if (!readRequirementList(reader, package.conflicts))
            return false;
        reader.next();
    }
    if (reader.kind() == partPayload)
        package.hasPayload = true;
    return true;
}

} // namespace installer
