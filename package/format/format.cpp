#include "package/format/format.h"

#include <cstring>

namespace installer {

std::string decodeName(const uint8_t field[16]) {
    size_t length = 0;
    while (length < nameFieldSize && field[length] != 0)
        ++length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

bool encodeName(const std::string& name, uint8_t field[16]) {
    if (name.size() > nameFieldSize || name.find('\0') != std::string::npos)
        return false;
    std::memset(field, 0, nameFieldSize);
    std::memcpy(field, name.data(), name.size());
    return true;
}

HeaderBody decodeHeaderBody(const uint8_t body[32]) {
    return {decodeName(body), loadLe32(body + 16), loadLe32(body + 20)};
}

bool encodeHeaderBody(const HeaderBody& header, uint8_t body[32]) {
    std::memset(body, 0, headerBodySize);
    if (!encodeName(header.name, body))
        return false;
    storeLe32(body + 16, header.version);
    storeLe32(body + 20, header.buildTime);
    return true;
}

RequirementRecord decodeRequirement(const uint8_t record[32]) {
    return {decodeName(record), loadLe32(record + 16), loadLe32(record + 24),
            int32_t(loadLe32(record + 28))};
}

bool encodeRequirement(const RequirementRecord& requirement, uint8_t record[32]) {
    std::memset(record, 0, requirementRecordSize);
    if (!encodeName(requirement.name, record))
        return false;
    storeLe32(record + 16, requirement.minVersion);
    storeLe32(record + 24, requirement.maxVersion);
    storeLe32(record + 28, uint32_t(requirement.priority));
    return true;
}

FileEntryHeader decodeFileEntry(const uint8_t header[30]) {
    FileEntryHeader entry;
    entry.mode = loadLe16(header);
    entry.uid = loadLe16(header + 2);
    entry.gid = loadLe16(header + 4);
    entry.mtime = loadLe32(header + 8);
    entry.skip = header[23] != 0;
    entry.dataSize = loadLe32(header + 24);
    entry.nameLength = loadLe16(header + 28);
    return entry;
}

void encodeFileEntry(const FileEntryHeader& entry, uint8_t header[30]) {
    std::memset(header, 0, fileEntryHeaderSize);
    storeLe16(header, entry.mode);
    storeLe16(header + 2, entry.uid);
    storeLe16(header + 4, entry.gid);
    storeLe32(header + 8, entry.mtime);
    header[23] = entry.skip ? 1 : 0;
    storeLe32(header + 24, entry.dataSize);
    storeLe16(header + 28, entry.nameLength);
}

} // namespace installer
