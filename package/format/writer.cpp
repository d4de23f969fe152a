#include "package/format/writer.h"

namespace installer {

std::string fileHeaderBytes(uint32_t magic, uint32_t restLength) {
    uint8_t bytes[fileHeaderSize];
    storeLe32(bytes, magic);
    storeLe32(bytes + 4, restLength);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string partHeaderBytes(int kind, uint32_t length) {
    uint8_t bytes[partHeaderSize];
    storeLe16(bytes, uint16_t(kind));
    storeLe32(bytes + 2, length);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string partBytes(int kind, const std::string& body) {
    return partHeaderBytes(kind, uint32_t(body.size())) + body;
}

std::string headerBodyBytes(const HeaderBody& header) {
    uint8_t bytes[headerBodySize];
    if (!encodeHeaderBody(header, bytes))
        return {};
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string requirementListBytes(const std::vector<RequirementRecord>& list) {
    if (list.size() > 0xffff)
        return {};
    uint8_t count[2];
    storeLe16(count, uint16_t(list.size()));
    std::string out(reinterpret_cast<char*>(count), 2);
    for (const auto& requirement : list) {
        uint8_t record[requirementRecordSize];
        if (!encodeRequirement(requirement, record))
            return {};
        out.append(reinterpret_cast<char*>(record), sizeof record);
    }
    return out;
}

std::string fileEntryBytes(FileEntryHeader entry, const std::string& name) {
    if (name.size() > 0xffff)
        return {};
    entry.nameLength = uint16_t(name.size());
    uint8_t bytes[fileEntryHeaderSize];
    encodeFileEntry(entry, bytes);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes) + name;
}

std::string packageFileBytes(const std::string& parts, uint32_t magic) {
    return fileHeaderBytes(magic, uint32_t(parts.size())) + parts;
}

} // namespace installer
