// Test helper: package files of a precise shape, made in memory with the package writer, so
// that tests can hold every entry type, every odd length and every hostile name.
#pragma once

#include "package/format.h"
#include "package/reader.h"
#include "package/version.h"
#include "package/writer.h"

#include <zlib.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testpkg {

using namespace installer;

struct Entry {
    uint16_t mode = 0100644;
    std::string name;
    std::string data;
    uint16_t uid = 0;
    uint16_t gid = 0;
    uint32_t mtime = 1000000000;
    bool skip = false;
};

inline Entry regular(const std::string& name, const std::string& data, uint16_t mode = 0644) {
    return {uint16_t(0100000 | mode), name, data};
}
inline Entry directory(const std::string& name, uint16_t mode = 0755) {
    return {uint16_t(0040000 | mode), name, ""};
}
inline Entry link(const std::string& name, const std::string& target) {
    return {0120777, name, target};
}

inline std::string compressed(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 6);
    out.resize(size);
    return out;
}

// The decompressed archive: entry header, name, data, for every entry.
inline std::string archiveContent(const std::vector<Entry>& entries) {
    std::string raw;
    for (const Entry& entry : entries) {
        FileEntryHeader header;
        header.mode = entry.mode;
        header.uid = entry.uid;
        header.gid = entry.gid;
        header.mtime = entry.mtime;
        header.skip = entry.skip;
        header.dataSize = uint32_t(entry.data.size());
        raw += fileEntryBytes(header, entry.name) + entry.data;
    }
    return raw;
}

inline std::vector<RequirementRecord> requirements(const std::vector<Requirement>& list) {
    std::vector<RequirementRecord> records;
    for (const Requirement& r : list)
        records.push_back({r.name, r.minVersion, r.maxVersion, r.priority});
    return records;
}

struct Spec {
    std::string name = "demo";
    uint32_t version = makeVersion(1, 0, 'f', 0);
    uint32_t buildTime = 1000;
    std::string architecture; // no architecture part when empty
    std::vector<Requirement> depends, provides, conflicts;
    std::optional<std::string> payload;
    std::optional<std::string> oninstall, onuninstall;
    std::vector<Entry> entries;
    std::optional<std::string> rawArchive; // a ready archive body instead of entries
    bool withArchive = true;

    // Header parts through the archive: what the digest of a package covers, up to the
    // signature part.
    std::string parts() const {
        std::string out = partBytes(partHeader, headerBodyBytes({name, version, buildTime}));
        if (!architecture.empty())
            out += partBytes(partArchitecture, architecture);
        if (!depends.empty())
            out += partBytes(partDepends, requirementListBytes(requirements(depends)));
        if (!provides.empty())
            out += partBytes(partProvides, requirementListBytes(requirements(provides)));
        if (!conflicts.empty())
            out += partBytes(partConflicts, requirementListBytes(requirements(conflicts)));
        if (payload)
            out += partBytes(partPayload, *payload);
        if (oninstall)
            out += partBytes(partOnInstall, *oninstall);
        if (onuninstall)
            out += partBytes(partOnUninstall, *onuninstall);
        if (rawArchive)
            out += partBytes(partArchive, *rawArchive);
        else if (withArchive)
            out += partBytes(partArchive, compressed(archiveContent(entries)));
        return out;
    }

    // An unsigned file: its digest is unknown, so installing it ends as a broken package.
    std::string unsignedFile(uint32_t magic = packageMagic) const {
        return packageFileBytes(parts(), magic);
    }
};

// A reader over a package held in memory, wanting what the installation wants.
struct MemoryReader {
    explicit MemoryReader(const std::string& bytes)
        : source(bytes), reader(source, true) {
        for (int kind : {1, 18, 20, 16, 3, 19, 17, 21, 4, 7, 8, 9})
            reader.want(kind);
        reader.next();
    }
    std::istringstream source;
    PackageReader reader;
};

} // namespace testpkg
