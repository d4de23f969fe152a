#include "tools/rpx/signing.h"

#include "package/format/hex_text.h"
#include "package/format/reader.h"
#include "package/format/writer.h"
#include "tools/rpx/output_file.h"
#include "tools/rpx/signer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

namespace rpx {

using namespace installer;

namespace {

std::string at(uint64_t offset) {
    return " (part at offset " + std::to_string(offset) + ")";
}

class Signer {
public:
    Signer(const uint8_t* secret, OutputFile& out) : secret(secret), out(out) {}

    bool copy(std::FILE* in, const uint8_t* header, uint32_t length, bool hashed) {
        if (!out.write(header, partHeaderSize))
            return false;
        if (hashed)
            hash.update(header, partHeaderSize);
        char buffer[65536];
        while (length > 0) {
            size_t want = std::min<size_t>(length, sizeof buffer);
            if (std::fread(buffer, 1, want, in) != want || !out.write(buffer, want))
                return false;
            if (hashed)
                hash.update(buffer, want);
            length -= uint32_t(want);
        }
        return true;
    }

    bool closePackage() {
        std::string header = partHeaderBytes(partSignature, signatureSize);
        hash.update(header.data(), header.size());
        uint8_t digest[20], body[signatureSize];
        hash.finish(digest);
        if (!signDigest(secret, digest, body))
            return false;
        ++signedCount;
        added += partHeaderSize + signatureSize;
        return out.write(header) && out.write(body, sizeof body);
    }

    static constexpr uint32_t signatureSize = 68;
    unsigned signedCount = 0;
    uint64_t added = 0;   // bytes of new signature parts
    uint64_t dropped = 0; // bytes of replaced signature parts

private:
    const uint8_t* secret;
    OutputFile& out;
    Sha1 hash;
};

} // namespace

bool signFile(const std::string& path, const uint8_t secret[32], bool resign, unsigned& count,
              std::string& error) {
    uint64_t size = 0;
    if (!hostFileSize(path, size, error))
        return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t header[fileHeaderSize];
    if (std::fread(header, 1, sizeof header, in.get()) != sizeof header ||
        (loadLe32(header) != packageMagic && loadLe32(header) != unregisteredMagic)) {
        error = path + ": not a package file";
        return false;
    }
    if (uint64_t(loadLe32(header + 4)) + fileHeaderSize != size) {
        error = path + ": declared length differs from the file's size";
        return false;
    }
    OutputFile out(path);
    if (!out.open(error) || !out.write(header, sizeof header)) {
        error = path + ": cannot write";
        return false;
    }
    Signer signer(secret, out);
    bool inPackage = false;
    std::string name;
    for (uint64_t offset = fileHeaderSize; offset < size;) {
        uint8_t part[partHeaderSize];
        if (std::fread(part, 1, sizeof part, in.get()) != sizeof part) {
            error = path + ": part header cut short" + at(offset);
            return false;
        }
        int kind = loadLe16(part);
        uint32_t length = loadLe32(part + 2);
        if (offset + partHeaderSize + length > size) {
            error = path + ": part runs past the end of the file" + at(offset);
            return false;
        }
        if (kind == partHeader) {
            if (inPackage && !signer.closePackage()) {
                error = path + ": cannot sign or write";
                return false;
            }
            inPackage = true;
        } else if (kind == partBundleHeader && (inPackage || offset != fileHeaderSize)) {
            error = path + ": bundle header in the middle of the file" + at(offset);
            return false;
        } else if (kind == partSignature) {
            if (!inPackage) {
                error = path + ": signature part outside a package" + at(offset);
                return false;
            }
            if (!resign) {
                error = path + ": package " + std::to_string(signer.signedCount + 1) +
                        " is already signed (use --resign to replace the signature)";
                return false;
            }
            signer.dropped += partHeaderSize + uint64_t(length);
            if (fseeko(in.get(), off_t(offset + partHeaderSize + length), SEEK_SET) != 0) {
                error = path + ": cannot read";
                return false;
            }
            offset += partHeaderSize + uint64_t(length);
            continue;
        }
        if (!signer.copy(in.get(), part, length, inPackage)) {
            error = path + ": cannot read or write" + at(offset);
            return false;
        }
        offset += partHeaderSize + uint64_t(length);
    }
    if (!inPackage) {
        error = path + ": holds no package";
        return false;
    }
    if (!signer.closePackage()) {
        error = path + ": cannot sign or write";
        return false;
    }
    uint64_t rest = size - fileHeaderSize - signer.dropped + signer.added;
    if (rest > 0xffffffffu) {
        error = path + ": signed file would exceed 4 GiB";
        return false;
    }
    std::string fixed = fileHeaderBytes(loadLe32(header), uint32_t(rest));
    if (std::fflush(out.stream()) != 0 || fseeko(out.stream(), 0, SEEK_SET) != 0 ||
        !out.write(fixed)) {
        error = path + ": cannot write";
        return false;
    }
    count = signer.signedCount;
    return out.commit(error);
}

namespace {

bool isKnown(const std::vector<Digest>* known, const uint8_t digest[20]) {
    if (!known)
        return false;
    for (const auto& d : *known)
        if (std::equal(d.begin(), d.end(), digest))
            return true;
    return false;
}

} // namespace

bool verifyPackageStream(std::streambuf* in, const uint8_t* publicKey,
                         const std::vector<Digest>* known, unsigned& count, std::string& error) {
    PackageReader reader(in, true);
    if (reader.fail()) {
        error = "not a package file";
        return false;
    }
    for (int kind = 0; kind <= 0xffff; ++kind)
        reader.want(kind);
    count = 0;
    bool inPackage = false, signedPackage = false, bundle = false;
    std::string name;
    auto label = [&] { return "package " + std::to_string(count) + " (" + name + ")"; };
    for (;;) {
        int kind = reader.next();
        if (kind == partHeader || kind < 0) {
            if (inPackage && !signedPackage) {
                uint8_t digest[20] = {};
                if (!reader.takeDigest(digest) || !isKnown(known, digest)) {
                    error =
                        label() + " is not signed" +
                        (known ? " and its digest " + hexText(digest, 20) + " is not known" : "");
                    return false;
                }
            }
            if (kind < 0)
                break;
            uint8_t body[headerBodySize];
            if (reader.partLength() < headerBodySize ||
                !reader.read(reinterpret_cast<char*>(body), sizeof body)) {
                error = "package header cut short";
                return false;
            }
            ++count;
            name = decodeHeaderBody(body).name;
            inPackage = true;
            signedPackage = false;
        } else if (kind == partBundleHeader) {
            if (bundle || count > 0) {
                error = "bundle header in the middle of the file";
                return false;
            }
            bundle = true;
        } else if (signedPackage) {
            error = label() + " has a part after its signature (kind " + std::to_string(kind) + ")";
            return false;
        } else if (kind == partSignature) {
            if (!inPackage) {
                error = "signature part outside a package";
                return false;
            }
            if (!reader.verifySignature(publicKey)) {
                error = label() + ": signature does not verify";
                return false;
            }
            signedPackage = true;
        }
    }
    if (reader.truncated()) {
        error = "cut short";
        return false;
    }
    if (reader.overlong()) {
        error =
            "declared length " + std::to_string(reader.totalSize()) + " ends before the file does";
        return false;
    }
    if (reader.position() != reader.totalSize()) {
        error = "declared length " + std::to_string(reader.totalSize()) +
                " differs from the length read " + std::to_string(reader.position());
        return false;
    }
    if (count == 0) {
        error = "holds no package";
        return false;
    }
    return true;
}

bool readDigestList(const std::string& path, std::vector<Digest>& digests, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line.empty() || line[0] == '#')
            continue;
        Digest d{};
        bool ok = line.size() == 40;
        for (size_t i = 0; ok && i < 40; ++i) {
            char c = char(std::tolower(static_cast<unsigned char>(line[i])));
            int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            ok = v >= 0;
            d[i / 2] = uint8_t(d[i / 2] << 4 | (v & 15));
        }
        if (!ok) {
            error = path + ": line " + std::to_string(number) + ": expected 40 hex digits";
            return false;
        }
        digests.push_back(d);
    }
    return true;
}

} // namespace rpx
