#include "package/record/package_file.h"

#include "package/format/format.h"
#include "package/format/reader.h"
#include "package/record/record_header.h"

#include <sys/stat.h>

#include <fstream>
#include <ios>
#include <memory>

namespace installer {

// The file stream throws when the medium fails a read (an I/O error on a bad sector): such a
// package is as unusable as a damaged one, and nothing may escape to the caller.
bool PackageFile::openPackageFile(const std::string& filePath) try {
    path = filePath;
    sourcePath = filePath;
    std::ifstream file(filePath, std::ios::binary);
    if (!file)
        return false;
    PackageReader reader(file, true);
    totalSize = reader.totalSize();
    if (!reader)
        return false;
    struct stat st;
    if (stat(filePath.c_str(), &st) == 0 && uint64_t(st.st_size) != totalSize)
        return false;
    unregistered = reader.isUnregistered();
    for (int kind : {partBundleHeader, partHeader, partArchitecture, partDescription, partDepends,
                     partProvides, partConflicts, partPayload})
        reader.want(kind);
    reader.next();
    if (!readHeader(*this, reader))
        return false;
    if (!isBundle)
        return true;
    if (reader.kind() == partPayload)
        reader.next();
    while (reader.kind() == partHeader) {
        auto member = std::make_unique<Package>();
        if (!readHeader(*member, reader))
            return false;
        members.push_back(std::move(member));
        if (reader.kind() == partPayload)
            reader.next();
    }
    return !members.empty();
} catch (const std::ios_base::failure&) {
    return false;
}

} // namespace installer
