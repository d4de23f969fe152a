// Byte layouts of a package file: magic numbers, part kinds, the 32-byte header body, the
// 32-byte requirement record and the 30-byte file entry of the compressed archive. All numbers
// are little-endian. Decoding takes exactly the bytes of one record; nothing here reads streams.
#pragma once

#include <cstdint>
#include <string>

namespace installer {

constexpr uint32_t packageMagic = 0xBAD0F11E;      // regular package
constexpr uint32_t unregisteredMagic = 0xA1100FFB; // installed without a database record

constexpr unsigned fileHeaderSize = 8;
constexpr unsigned partHeaderSize = 6;
constexpr unsigned headerBodySize = 32;
constexpr unsigned requirementRecordSize = 32;
constexpr unsigned fileEntryHeaderSize = 30;
constexpr unsigned nameFieldSize = 16;

enum PartKind : int {
    partHeader = 1,
    partDescription = 2,
    partDepends = 3,
    partArchive = 4,
    partOnInstall = 7,
    partOnUninstall = 8,
    partSignature = 9,
    partArchitecture = 16,
    partConflicts = 17,
    partBundleHeader = 18,
    partProvides = 19,
    partMembers = 20,
    partPayload = 21,
};

inline uint16_t loadLe16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void storeLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// A 16-byte NUL-padded name; all 16 bytes are name when there is no NUL.
std::string decodeName(const uint8_t field[16]);
// False when the name does not fit in 16 bytes or holds a NUL.
bool encodeName(const std::string& name, uint8_t field[16]);

// Body of a package header (kind 1) or bundle header (kind 18).
struct HeaderBody {
    std::string name;
    uint32_t version = 0;
    uint32_t buildTime = 0;
};
HeaderBody decodeHeaderBody(const uint8_t body[32]);
bool encodeHeaderBody(const HeaderBody& header, uint8_t body[32]);

// One record of a requirement list; the list's body is a 2-byte count and that many records.
struct RequirementRecord {
    std::string name;
    uint32_t minVersion = 0;
    uint32_t maxVersion = 0;
    int32_t priority = 0;
};
RequirementRecord decodeRequirement(const uint8_t record[32]);
bool encodeRequirement(const RequirementRecord& requirement, uint8_t record[32]);

// Header of one entry of the decompressed file archive; the name and the data follow it.
struct FileEntryHeader {
    uint16_t mode = 0; // file type (mask 0xF000) and permission bits
    uint16_t uid = 0;
    uint16_t gid = 0;
    uint32_t mtime = 0;
    bool skip = false; // the data is passed over and nothing is created
    uint32_t dataSize = 0;
    uint16_t nameLength = 0;
};
FileEntryHeader decodeFileEntry(const uint8_t header[30]);
void encodeFileEntry(const FileEntryHeader& entry, uint8_t header[30]);

} // namespace installer
