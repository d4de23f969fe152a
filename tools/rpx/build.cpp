#include "tools/rpx/build.h"

#include "package/format/writer.h"
#include "tools/rpx/archive.h"
#include "tools/rpx/output_file.h"
#include "tools/rpx/tree.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace rpx {

using namespace installer;

namespace {

constexpr uint64_t maxLength = 0xffffffffu;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The header part (kind 1 or 18) and the optional parts every package and bundle may carry.
std::string headerParts(const Manifest& m, int headerKind) {
    std::string out = partBytes(headerKind, headerBodyBytes({m.name, m.version, *m.buildTime}));
    if (m.architecture)
        out += partBytes(partArchitecture, *m.architecture);
    if (m.description)
        out += partBytes(partDescription, *m.description);
    if (!m.depends.empty())
        out += partBytes(partDepends, requirementListBytes(m.depends));
    if (!m.provides.empty())
        out += partBytes(partProvides, requirementListBytes(m.provides));
    if (!m.conflicts.empty())
        out += partBytes(partConflicts, requirementListBytes(m.conflicts));
    return out;
}

// A part whose body is a host file: its size is taken first, and the copy must match it.
struct FilePart {
    int kind;
    std::string path;
    uint64_t size = 0;
};

bool measure(std::vector<FilePart>& parts, uint64_t& total, std::string& error) {
    for (auto& part : parts) {
        if (!hostFileSize(part.path, part.size, error))
            return false;
        if (part.size > maxLength) {
            error = part.path + ": larger than 4 GiB";
            return false;
        }
        total += partHeaderSize + part.size;
    }
    return true;
}

bool writeFileParts(const std::vector<FilePart>& parts, OutputFile& out, std::string& error) {
    for (const auto& part : parts)
        if (!out.write(partHeaderBytes(part.kind, uint32_t(part.size))) ||
            !copyHostFile(part.path, part.size, out, error))
            return false;
    return true;
}

// Opens the output and writes what packages and bundles begin with alike: the file header, the
// header parts and the parts copied from host files.
bool writeBeginning(OutputFile& out, const std::string& output, const Manifest& m, uint64_t total,
                    const std::string& head, const std::vector<FilePart>& parts,
                    std::string& error) {
    if (!out.open(error))
        return false;
    if (out.write(
            fileHeaderBytes(m.unregistered ? unregisteredMagic : packageMagic, uint32_t(total))) &&
        out.write(head) && writeFileParts(parts, out, error))
        return true;
    if (error.empty())
        error = output + ": cannot write";
    return false;
}

bool checkHeaderFields(const Manifest& m, std::string& error) {
    if (!m.buildTime) {
        error = "no build time";
        return false;
    }
    if (m.description && m.description->size() > maxLength) {
        error = "description too long";
        return false;
    }
    return true;
}

} // namespace

bool buildPackage(const Manifest& m, const std::string& tree, const std::string& output,
                  std::string& error) {
    if (!checkHeaderFields(m, error))
        return false;
    if (!m.members.empty()) {
        error = "\"member:\" belongs in a bundle manifest (rpx bundle)";
        return false;
    }
    std::vector<TreeEntry> entries;
    bool hasArchive = !tree.empty() || !m.nodes.empty();
    if (!tree.empty() ? !collectTree(tree, m, entries, error)
                      : !applyDeclarations(m, entries, error))
        return false;
    FilePtr archive;
    uint64_t archiveSize = 0;
    if (hasArchive) {
        archive.reset(std::tmpfile());
        if (!archive) {
            error = std::string("temporary file: ") + std::strerror(errno);
            return false;
        }
        if (!writeArchive(entries, archive.get(), archiveSize, error))
            return false;
        if (archiveSize > maxLength) {
            error = "file archive larger than 4 GiB";
            return false;
        }
        std::rewind(archive.get());
    }

    std::string head = headerParts(m, partHeader);
    std::vector<FilePart> fileParts;
    if (!m.payload.empty())
        fileParts.push_back({partPayload, m.payload});
    if (!m.onInstall.empty())
        fileParts.push_back({partOnInstall, m.onInstall});
    if (!m.onUninstall.empty())
        fileParts.push_back({partOnUninstall, m.onUninstall});
    uint64_t total = head.size() + (hasArchive ? partHeaderSize + archiveSize : 0);
    if (!measure(fileParts, total, error))
        return false;
    if (total > maxLength) {
        error = "package larger than 4 GiB";
        return false;
    }

    OutputFile out(output);
    if (!writeBeginning(out, output, m, total, head, fileParts, error))
        return false;
    if (hasArchive && (!out.write(partHeaderBytes(partArchive, uint32_t(archiveSize))) ||
                       !out.copyFrom(archive.get(), archiveSize))) {
        error = output + ": cannot write";
        return false;
    }
    return out.commit(error);
}

namespace {

// A member must be a whole package file: known magic, declared length equal to its size,
// parts that tile it exactly, a package header first and no bundle header anywhere.
bool checkMember(const std::string& path, std::FILE* in, uint64_t& rest, std::string& error) {
    uint64_t size = 0;
    if (!hostFileSize(path, size, error))
        return false;
    uint8_t header[fileHeaderSize];
    if (std::fread(header, 1, sizeof header, in) != sizeof header) {
        error = path + ": shorter than a file header";
        return false;
    }
    uint32_t magic = loadLe32(header);
    if (magic != packageMagic && magic != unregisteredMagic) {
        error = path + ": not a package file";
        return false;
    }
    rest = loadLe32(header + 4);
    if (rest + fileHeaderSize != size) {
        error = path + ": declared length " + std::to_string(rest + fileHeaderSize) +
                " differs from its size " + std::to_string(size);
        return false;
    }
    uint64_t at = fileHeaderSize;
    for (bool first = true; at < size; first = false) {
        uint8_t part[partHeaderSize];
        if (fseeko(in, off_t(at), SEEK_SET) != 0 ||
            std::fread(part, 1, sizeof part, in) != sizeof part) {
            error = path + ": part header cut short at offset " + std::to_string(at);
            return false;
        }
        int kind = loadLe16(part);
        if (kind == partBundleHeader) {
            error = path + ": is a bundle; bundles do not nest";
            return false;
        }
        if (first && kind != partHeader) {
            error = path + ": does not begin with a package header";
            return false;
        }
        at += partHeaderSize + uint64_t(loadLe32(part + 2));
    }
    if (at != size || size == fileHeaderSize) {
        error = path + (size == fileHeaderSize ? ": holds no package" : ": last part cut short");
        return false;
    }
    return fseeko(in, fileHeaderSize, SEEK_SET) == 0;
}

} // namespace

bool buildBundle(const Manifest& m, const std::vector<std::string>& members,
                 const std::string& output, std::string& error) {
    if (!checkHeaderFields(m, error))
        return false;
    if (members.empty()) {
        error = "a bundle needs at least one member package file";
        return false;
    }
    if (!m.onInstall.empty() || !m.onUninstall.empty() || !m.nodes.empty() || m.entryTime ||
        m.ownerUid) {
        error = "scripts, nodes and entry attributes belong in a package manifest (rpx build)";
        return false;
    }
    std::string head = headerParts(m, partBundleHeader);
    std::vector<FilePart> payload;
    if (!m.payload.empty())
        payload.push_back({partPayload, m.payload});
    uint64_t total = head.size();
    if (!measure(payload, total, error))
        return false;
    std::string memberList =
        m.members.empty() ? "" : partBytes(partMembers, requirementListBytes(m.members));
    total += memberList.size();

    std::vector<FilePtr> files;
    std::vector<uint64_t> lengths;
    for (const auto& path : members) {
        files.emplace_back(std::fopen(path.c_str(), "rb"));
        if (!files.back()) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        uint64_t rest = 0;
        if (!checkMember(path, files.back().get(), rest, error))
            return false;
        lengths.push_back(rest);
        total += rest;
    }
    if (total > maxLength) {
        error = "bundle larger than 4 GiB";
        return false;
    }

    OutputFile out(output);
    if (!writeBeginning(out, output, m, total, head, payload, error))
        return false;
    if (!out.write(memberList)) {
        error = output + ": cannot write";
        return false;
    }
    for (size_t i = 0; i < files.size(); ++i)
        if (!out.copyFrom(files[i].get(), lengths[i])) {
            error = members[i] + ": changed while being read, or cannot write the output";
            return false;
        }
    return out.commit(error);
}

} // namespace rpx
