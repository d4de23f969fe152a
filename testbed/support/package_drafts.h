// Package files of a precise shape, made in memory with the package writer.
#pragma once

#include "package/format/format.h"
#include "package/format/reader.h"
#include "package/format/writer.h"
#include "package/record/package.h"
#include "package/record/version.h"

#include <zlib.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testpkg {

using namespace installer;

struct Entry {
    uint16_t mode = 0100644;
    std::string name, data;
    uint16_t uid = 0, gid = 0;
    uint32_t mtime = 1000000000;
    bool skip = false;
};
inline Entry regular(const std::string& name, const std::string& data, uint16_t mode = 0644) {
    return {uint16_t(0100000 | mode), name, data};
}
inline Entry directory(const std::string& name) {
    return {040755, name, ""};
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

inline std::string archiveContent(const std::vector<Entry>& entries) {
    std::string raw;
    for (const Entry& e : entries) {
        FileEntryHeader header{e.mode, e.uid, e.gid, e.mtime, e.skip, uint32_t(e.data.size()), 0};
        raw += fileEntryBytes(header, e.name) + e.data;
    }
    return raw;
}

inline std::string requirementPart(int kind, const std::vector<Requirement>& list) {
    std::vector<RequirementRecord> records;
    for (const Requirement& r : list)
        records.push_back({r.name, r.minVersion, r.maxVersion, r.priority});
    return list.empty() ? "" : partBytes(kind, requirementListBytes(records));
}

struct Draft {
    std::string name = "demo";
    uint32_t version = makeVersion(1, 0, 'f', 0);
    std::string architecture; // no part when empty
    std::vector<Requirement> depends, provides, conflicts;
    std::optional<std::string> payload, oninstall, onuninstall, rawArchive;
    std::vector<Entry> entries;

    // The parts from the header through the archive: what a package's digest covers.
    std::string parts() const {
        std::string out = partBytes(partHeader, headerBodyBytes({name, version, 1000}));
        if (!architecture.empty())
            out += partBytes(partArchitecture, architecture);
        out += requirementPart(partDepends, depends) + requirementPart(partProvides, provides) +
               requirementPart(partConflicts, conflicts);
        for (auto [kind, body] : {std::pair{partPayload, payload},
                                  {partOnInstall, oninstall},
                                  {partOnUninstall, onuninstall}})
            if (body)
                out += partBytes(kind, *body);
        return out +
               partBytes(partArchive, rawArchive.value_or(compressed(archiveContent(entries))));
    }
    // Unsigned: its digest is not a known one, so its installation ends as a broken package.
    std::string unsignedFile(uint32_t magic = packageMagic) const {
        return packageFileBytes(parts(), magic);
    }
    // Signed with the development key (package_signing.cpp: tests that link the signing support).
    std::string signedFile(uint32_t magic = packageMagic) const;
};

// A reader over a package in memory, wanting what the stream installation wants.
struct MemoryReader {
    explicit MemoryReader(const std::string& bytes) : source(bytes), reader(source, true) {
        for (int kind : {1, 18, 20, 16, 3, 19, 17, 21, 4, 7, 8, 9})
            reader.want(kind);
        reader.next();
    }
    std::istringstream source;
    PackageReader reader;
};

} // namespace testpkg

// Signing with the development key, whose public half is the key built into the installer, as
// `rpx build` and `rpx sign` do it: the parts of one package (header through its last part)
// followed by its signature part.
namespace testsign {
std::string signParts(const std::string& parts);
}
