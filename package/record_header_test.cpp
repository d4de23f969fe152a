#include "package/package_file.h"
#include "package/record_header.h"

#include "package/record_test_packages.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

using namespace installer;
using testpkg::MemoryReader;
using testpkg::Spec;

namespace {

// A package file written to a temporary place; removed when the test ends.
struct TempFile {
    explicit TempFile(const std::string& bytes) {
        char name[] = "/tmp/record-header-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        (void)!write(fd, bytes.data(), bytes.size());
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

std::string bundleFile(const std::vector<Spec>& members, bool withPayload = false) {
    std::string parts = partBytes(partBundleHeader, headerBodyBytes({"suite", 0x02000000, 7}));
    if (withPayload)
        parts += partBytes(partPayload, "opaque");
    parts += partBytes(partMembers, requirementListBytes({{"extra", 0, 0, 0}}));
    for (const Spec& member : members)
        parts += member.parts();
    return packageFileBytes(parts);
}

} // namespace

TEST(ReadHeader, FillsEveryHeaderPartInItsOrder) {
    Spec spec;
    spec.name = "sixteen-chars-xy"; // all 16 bytes, no NUL
    spec.architecture = "arm";
    spec.depends = {{"libc", 5, 9, 0}};
    spec.provides = {{"mta", 0, 0, -3}};
    spec.conflicts = {{"other", 1, 0, 0}};
    spec.payload = "payload bytes";
    MemoryReader in(spec.unsignedFile());
    Package package;
    ASSERT_TRUE(readHeader(package, in.reader));
    EXPECT_EQ(package.name, "sixteen-chars-xy");
    EXPECT_EQ(package.version, spec.version);
    EXPECT_EQ(package.buildTime, 1000u);
    EXPECT_EQ(package.architecture, "arm");
    ASSERT_EQ(package.depends.size(), 1u);
    EXPECT_EQ(package.depends[0].maxVersion, 9u);
    ASSERT_EQ(package.provides.size(), 1u);
    EXPECT_EQ(package.provides[0].priority, -3);
    ASSERT_EQ(package.conflicts.size(), 1u);
    EXPECT_TRUE(package.hasPayload);
    EXPECT_EQ(in.reader.kind(), partPayload) << "the reader stays on the payload";
}

TEST(ReadHeader, PackageWithoutArchitecturePartIsForI386) {
    MemoryReader in(Spec().unsignedFile());
    Package package;
    ASSERT_TRUE(readHeader(package, in.reader));
    EXPECT_EQ(package.architecture, "i386");
    EXPECT_FALSE(package.hasPayload);
}

TEST(ReadHeader, NamesThatWouldEscapeOrCorruptTheDatabaseAreRefused) {
    // The name becomes a directory below /flash/var/pdb/ and a word of the database's files.
    for (std::string name : {"..", ".", "a/b", "with space", "tab\there", ""}) {
        Spec spec;
        spec.name = name;
        MemoryReader in(spec.unsignedFile());
        Package package;
        EXPECT_FALSE(readHeader(package, in.reader)) << "name '" << name << "'";
    }
    Spec spec;
    spec.depends = {{"two words", 0, 0, 0}};
    MemoryReader in(spec.unsignedFile());
    Package package;
    EXPECT_FALSE(readHeader(package, in.reader)) << "a dependency name with a blank";
}

TEST(ReadHeader, ShortOrAbsurdPartsFailWithoutAllocatingByTheirLength) {
    // A requirement list that claims two records but holds one.
    std::string body = requirementListBytes({{"a", 0, 0, 0}});
    body[0] = 2;
    std::string parts = partBytes(partHeader, headerBodyBytes({"demo", 1, 1})) +
                        partBytes(partDepends, body);
    MemoryReader shortList(packageFileBytes(parts));
    Package first;
    EXPECT_FALSE(readHeader(first, shortList.reader));

    // A description claiming 4 GiB in a file of a few bytes.
    std::string huge = partBytes(partHeader, headerBodyBytes({"demo", 1, 1})) +
                       partHeaderBytes(partDescription, 0xfffffff0u) + "tiny";
    TempFile absurd(packageFileBytes(huge));
    PackageFile second;
    EXPECT_FALSE(second.openPackageFile(absurd.path));
}

TEST(OpenPackageFile, ReadsHeaderSizeAndMagic) {
    Spec spec;
    spec.name = "tool";
    TempFile file(spec.unsignedFile(unregisteredMagic));
    PackageFile package;
    ASSERT_TRUE(package.openPackageFile(file.path));
    EXPECT_EQ(package.name, "tool");
    EXPECT_EQ(package.path, file.path);
    EXPECT_EQ(package.sourcePath, file.path);
    EXPECT_EQ(package.totalSize, spec.unsignedFile().size());
    EXPECT_TRUE(package.unregistered);
    EXPECT_FALSE(package.isBundle);
}

TEST(OpenPackageFile, FileWhoseSizeDiffersFromItsHeaderDoesNotOpen) {
    std::string bytes = Spec().unsignedFile();
    TempFile cut(bytes.substr(0, bytes.size() - 1));
    TempFile longer(bytes + "x");
    PackageFile a, b;
    EXPECT_FALSE(a.openPackageFile(cut.path));
    EXPECT_FALSE(b.openPackageFile(longer.path));
    PackageFile missing;
    EXPECT_FALSE(missing.openPackageFile("/nonexistent/package.rpx"));
}

TEST(OpenPackageFile, BundleCollectsItsMembersInOrder) {
    Spec first, second;
    first.name = "core";
    first.payload = "image";
    second.name = "extra";
    second.oninstall = "echo hi\n";
    TempFile file(bundleFile({first, second}, true));
    PackageFile bundle;
    ASSERT_TRUE(bundle.openPackageFile(file.path));
    EXPECT_TRUE(bundle.isBundle);
    EXPECT_TRUE(bundle.hasPayload);
    EXPECT_EQ(bundle.name, "suite");
    ASSERT_EQ(bundle.members.size(), 2u);
    EXPECT_EQ(bundle.members[0]->name, "core");
    EXPECT_TRUE(bundle.members[0]->hasPayload);
    EXPECT_EQ(bundle.members[1]->name, "extra");
}

TEST(OpenPackageFile, BundleWithoutMemberPackagesDoesNotOpen) {
    TempFile file(bundleFile({}));
    PackageFile bundle;
    EXPECT_FALSE(bundle.openPackageFile(file.path));
}
