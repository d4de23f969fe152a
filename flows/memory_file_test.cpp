// Files read whole into memory before the medium's disk is rewritten.
#include "flows/memory_file.h"
#include "testbed/support/scratch_files.h"

#include <gtest/gtest.h>

#include <string>

using namespace installer;

namespace {

TEST(MemoryFile, WholeFilesComeInAndWhatIsNoFileGivesFalse) {
    ScratchFolder folder;
    std::string big(70000, 'b');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 31);
    std::ofstream(folder / "big", std::ios::binary) << big;
    std::ofstream(folder / "empty");

    MemoryFile file;
    ASSERT_TRUE(readWholeFile(file, (folder / "big").c_str()));
    EXPECT_EQ(file.size, big.size());
    EXPECT_EQ(file.position, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(file.data.get()), file.size), big);

    ASSERT_TRUE(readWholeFile(file, (folder / "empty").c_str()));
    EXPECT_EQ(file.size, 0u);
    EXPECT_EQ(file.data, nullptr);

    file.size = 5; // whatever was there before a failure is gone after it
    EXPECT_FALSE(readWholeFile(file, (folder / "missing").c_str()));
    EXPECT_EQ(file.size, 0u);
    EXPECT_FALSE(readWholeFile(file, folder.path.c_str())); // a directory
    EXPECT_EQ(file.data, nullptr);
}

} // namespace
