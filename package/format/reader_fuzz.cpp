// The package reader on arbitrary bytes: parts and their lengths, the header parts, the
// inflating stream over an archive part, the signature part and the known-digest check, with
// and without hashing and a tee. Beyond crashes, the tee must receive exactly the bytes the
// reader consumed: the front of the input, in order.
#include "package/format/reader.h"
#include "package/record/record_header.h"
#include "package/signature/known_digests.h"
#include "package/signature/signature.h"
#include "testbed/fuzz_support.h"

#include <cstdlib>
#include <sstream>
#include <string>

using namespace installer;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, false);
    return 0;
}

namespace {

void drainArchive(PackageReader& reader) {
    InflatingStream in(reader);
    char chunk[4096];
    uint64_t out = 0;
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        out += uint64_t(in.gcount());
    if (out != in.inflater().totalOut() || (in.inflater().complete() && in.inflater().damaged()))
        std::abort();
}

// A seek inside the part: forward passes over bytes, backward is refused where a hash or tee
// has seen them.
void seekAround(PackageReader& reader, uint8_t how) {
    uint32_t length = reader.partLength();
    reader.seekg(std::streamoff(how % 4 == 0 ? length / 2 : how % 4 == 1 ? length : 1));
    reader.clear(reader.rdstate() & ~std::ios_base::failbit);
    char byte;
    reader.read(&byte, 1);
    if (reader.gcount() == 1)
        reader.unget();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    uint8_t mode = cursor.byte();
    std::string bytes(cursor.rest());
    std::istringstream source(bytes);
    std::stringbuf copy;
    bool hashing = mode & 1, teeing = mode & 2;
    PackageReader reader(source, hashing, teeing ? &copy : nullptr);
    for (int kind : {partHeader, partBundleHeader, partDescription, partDepends, partArchive,
                     partOnInstall, partOnUninstall, partSignature, partArchitecture, partConflicts,
                     partProvides, partMembers, partPayload}) {
        // Some runs leave kinds out, so that the reader passes over their parts.
        if (!(mode & 4) || kind % 3 != 0)
            reader.want(kind);
    }
    int kind = reader.next();
    while (kind >= 0) {
        if (kind == partHeader || kind == partBundleHeader) {
            Package package;
            bool read = readHeader(package, reader);
            if (read && !isUsablePackageName(package.name))
                std::abort();
            if (read) { // readHeader has moved on to the part after the header parts
                kind = reader.kind();
                continue;
            }
        } else if (kind == partArchive) {
            drainArchive(reader);
        } else if (kind == partSignature) {
            reader.verifySignature();
            uint8_t digest[20];
            if (reader.takeDigest(digest))
                isKnownDigest(digest);
        } else {
            seekAround(reader, mode >> 4);
        }
        kind = reader.next();
    }
    if (teeing && !reader.teeFailed() && bytes.compare(0, copy.str().size(), copy.str()) != 0)
        std::abort();
    return 0;
}
