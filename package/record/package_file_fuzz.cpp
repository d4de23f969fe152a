// A package file on a medium, read for the selection menu, on arbitrary file contents: what
// openPackageFile accepts must be a usable package or a bundle with members.
#include "package/record/package_file.h"
#include "package/record/record_header.h"
#include "testbed/fuzz_support.h"

#include <cstdlib>

using namespace installer;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PackageFile file;
    if (!file.openPackageFile(fuzz::bytesAsFile(data, size)))
        return 0;
    if (file.totalSize != size || !isUsablePackageName(file.name) ||
        (file.isBundle && file.members.empty()))
        std::abort();
    for (const auto& member : file.members)
        if (!isUsablePackageName(member->name) || member->isBundle)
            std::abort();
    return 0;
}
