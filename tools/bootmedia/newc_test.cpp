#include "tools/bootmedia/newc.h"

#include "testbed/support/scratch_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

using namespace bootmedia;

namespace {

std::string gunzip(const std::string& path) {
    gzFile in = gzopen(path.c_str(), "rb");
    std::string data;
    char buffer[4096];
    int n;
    while (in && (n = gzread(in, buffer, sizeof buffer)) > 0)
        data.append(buffer, static_cast<size_t>(n));
    if (in)
        gzclose(in);
    return data;
}

} // namespace

TEST(Newc, EveryKindOfEntryReadsBackAsWritten) {
    ScratchFiles files("newc");
    // Sizes around the 4-byte alignment of names and contents.
    std::string odd = files.text("odd", "12345");
    std::string archive = files.add("image.gz");
    NewcWriter out;
    ASSERT_TRUE(out.open(archive));
    ASSERT_TRUE(out.directory("/sbin", 0755));
    ASSERT_TRUE(out.file("/sbin/init", odd, 0755));
    ASSERT_TRUE(out.file("/etc/odd", odd));
    ASSERT_TRUE(out.text("/TYPE", "cdrom\n", 0644));
    ASSERT_TRUE(out.text("/empty", "", 0600));
    ASSERT_TRUE(out.symlink("/init", "sbin/init"));
    ASSERT_TRUE(out.device("/dev/console", false, 5, 1, 0600));
    ASSERT_TRUE(out.device("/dev/sda12", true, 8, 12, 0660));
    ASSERT_TRUE(out.finish()) << out.error();

    std::vector<NewcEntry> entries;
    std::string error;
    ASSERT_TRUE(readNewc(archive, entries, error)) << error;
    ASSERT_EQ(entries.size(), 8u);
    EXPECT_EQ(entries[0].name, "sbin"); // relative: the kernel unpacks below its root
    EXPECT_EQ(entries[0].mode, S_IFDIR | 0755u);
    EXPECT_EQ(entries[1].data, "12345");
    EXPECT_EQ(entries[1].mode, S_IFREG | 0755u);
    EXPECT_EQ(entries[2].mode & 07777, 0644u); // the host file's own bits
    EXPECT_EQ(entries[3].data, "cdrom\n");
    EXPECT_EQ(entries[4].data, "");
    EXPECT_EQ(entries[5].mode, S_IFLNK | 0777u);
    EXPECT_EQ(entries[5].data, "sbin/init");
    EXPECT_EQ(entries[6].mode, S_IFCHR | 0600u);
    EXPECT_EQ(entries[6].rdevMajor * 256 + entries[6].rdevMinor, 5u * 256 + 1);
    EXPECT_EQ(entries[7].mode, S_IFBLK | 0660u);
    EXPECT_EQ(entries[7].rdevMinor, 12u);

    // The kernel expects every header on a 4-byte boundary and a trailer ending the archive.
    std::string raw = gunzip(archive);
    EXPECT_EQ(raw.size() % 4, 0u);
    EXPECT_NE(raw.find("TRAILER!!!"), std::string::npos);
    for (size_t at = raw.find("070701"); at != std::string::npos; at = raw.find("070701", at + 1))
        EXPECT_EQ(at % 4, 0u) << "header at " << at;
}

TEST(Newc, DamagedArchivesAndMissingFilesAreErrors) {
    ScratchFiles files("newc-bad");
    std::string archive = files.add("image.gz");
    NewcWriter out;
    ASSERT_TRUE(out.open(archive));
    EXPECT_FALSE(out.file("/missing", files.add("not-there")));
    EXPECT_NE(out.error().find("not-there"), std::string::npos);
    // Once failed, nothing more is written and the archive is not finished as if whole.
    EXPECT_FALSE(out.text("/later", "x", 0644));
    EXPECT_FALSE(out.finish());

    NewcWriter good;
    ASSERT_TRUE(good.open(archive));
    ASSERT_TRUE(good.text("/TYPE", std::string(1000, 'n'), 0644));
    ASSERT_TRUE(good.finish());
    std::string raw = gunzip(archive);
    auto refusal = [&](const std::string& name, const std::string& bytes) {
        std::vector<NewcEntry> entries;
        std::string error;
        return readNewc(files.text(name, bytes), entries, error) ? "read" : error;
    };
    // Cut inside the contents, and without its trailer.
    EXPECT_NE(refusal("cut", raw.substr(0, 500)).find("cut short"), std::string::npos);
    EXPECT_NE(refusal("notrailer", raw.substr(0, raw.find("070701", 100))), "read");
    std::string bent = raw;
    bent[20] = 'x'; // a header digit
    EXPECT_NE(refusal("bent", bent).find("damaged header"), std::string::npos);
}
