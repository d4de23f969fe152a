// The store's byte stream in memory, and reading a tree into it from a scratch folder.
#include "disk/config_store.h"
#include "disk/kept_configuration.h"
#include "disk/memory_budget.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <map>

using namespace installer;

namespace {

constexpr uint64_t plenty = uint64_t(1) << 30;

std::vector<uint32_t> capacities(ConfigStore& store) {
    std::vector<uint32_t> sizes;
    for (StoreBlock* block = store.first(); block; block = block->next)
        sizes.push_back(block->capacity);
    return sizes;
}

std::string bytes(size_t length, char seed) {
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i)
        text[i] = char(seed + i * 7);
    return text;
}

TEST(ConfigStoreStream, PathThatDoesNotFitStartsABlockOfExactlyItsLength) {
    ConfigStore store(plenty);
    ASSERT_TRUE(store.addBlock(storeBlockSize));
    std::string filler = bytes(15990, 'a');
    ASSERT_TRUE(store.appendBytes(filler.data(), filler.size()));
    std::string path = "/flash/rw/store/a-name-of-20"; // 28 bytes with its NUL: 10 are left
    ASSERT_TRUE(store.appendPath(path.c_str()));
    std::string after = bytes(100, 'z');
    ASSERT_TRUE(store.appendBytes(after.data(), after.size()));
    // A path that fits exactly is not moved.
    std::string tail(storeBlockSize - 100 - 1, 'p');
    ASSERT_TRUE(store.appendPath(tail.c_str()));
    store.finish();
    EXPECT_EQ(capacities(store), (std::vector<uint32_t>{15990, 29, storeBlockSize}));

    StoreCursor cursor(store);
    std::string back(filler.size(), '\0'), more(after.size(), '\0');
    ASSERT_TRUE(cursor.take(back.data(), back.size()));
    EXPECT_EQ(back, filler);
    EXPECT_STREQ(cursor.takePath(), path.c_str());
    ASSERT_TRUE(cursor.take(more.data(), more.size()));
    EXPECT_EQ(more, after);
    EXPECT_STREQ(cursor.takePath(), tail.c_str());
    EXPECT_TRUE(cursor.atEnd());
    EXPECT_EQ(cursor.takePath(), nullptr);
    char beyond;
    EXPECT_FALSE(cursor.take(&beyond, 1));
}

TEST(ConfigStoreStream, BytesStraddleFullBlocksAndComeBackInPlace) {
    ConfigStore store(plenty);
    ASSERT_TRUE(store.addBlock(storeBlockSize));
    ASSERT_TRUE(store.appendPath("/flash/vela/store"));
    std::string content = bytes(40000, 'c');
    ASSERT_TRUE(store.appendBytes(content.data(), content.size()));
    store.finish();
    EXPECT_EQ(capacities(store), (std::vector<uint32_t>{16000, 16000, 40000 + 18 - 32000}));
    for (StoreBlock* block = store.first(); block; block = block->next) {
        EXPECT_EQ(block->magic, storeBlockMagic);
        EXPECT_EQ(block->position, 0u);
    }

    StoreCursor cursor(store);
    ASSERT_STREQ(cursor.takePath(), "/flash/vela/store");
    std::string back;
    const unsigned char* data = nullptr;
    std::vector<size_t> pieces;
    while (size_t part = cursor.takeInPlace(data, 25000)) {
        back.append(reinterpret_cast<const char*>(data), part);
        pieces.push_back(part);
    }
    EXPECT_EQ(back, content);
    EXPECT_EQ(pieces, (std::vector<size_t>{16000 - 18, 16000, 8018}));
}

TEST(ConfigStoreStream, BlockWithoutAWholePathIsNotReadPastItsEnd) {
    ConfigStore store(plenty);
    ASSERT_TRUE(store.addBlock(8));
    ASSERT_TRUE(store.appendBytes("no-nul-!", 8)); // fills the block exactly
    store.finish();
    StoreCursor cursor(store);
    EXPECT_EQ(cursor.takePath(), nullptr);
}

TEST(ConfigStoreStream, BudgetRefusesTheBlockThatWouldPassIt) {
    ConfigStore store(2 * (sizeof(StoreBlock) + storeBlockSize));
    ASSERT_TRUE(store.addBlock(storeBlockSize));
    std::string content = bytes(32000, 'b');
    ASSERT_TRUE(store.appendBytes(content.data(), content.size()));
    EXPECT_FALSE(store.appendBytes("x", 1));
    EXPECT_FALSE(store.appendPath("/flash/rw/store/x"));
    EXPECT_EQ(store.allocated(), 2 * (sizeof(StoreBlock) + storeBlockSize));
}

TEST(MemoryBudget, HalfOfWhatTheKernelCallsAvailable) {
    auto budgetFrom = [](std::string meminfo) {
        FILE* in = fmemopen(meminfo.data(), meminfo.size(), "r");
        uint64_t budget = memoryBudgetFrom(in);
        std::fclose(in);
        return budget;
    };
    EXPECT_EQ(budgetFrom("MemTotal: 4000 kB\nMemFree: 100 kB\nMemAvailable: 2000 kB\n"),
              1000u * 1024);
    EXPECT_EQ(budgetFrom("MemTotal: 4000 kB\nMemFree: 100 kB\n"), 0u)
        << "a kernel without the line";
    EXPECT_GT(memoryBudget(), 0u);
}

// ---- reading a tree

struct StreamEntry {
    std::string path;
    mode_t type;
    std::string contents;
};

std::vector<StreamEntry> entries(ConfigStore& store) {
    std::vector<StreamEntry> found;
    StoreCursor cursor(store);
    while (!cursor.atEnd()) {
        const char* path = cursor.takePath();
        struct stat status {};
        if (!path || !cursor.take(&status, sizeof status)) {
            ADD_FAILURE() << "stream ends inside an entry";
            break;
        }
        StreamEntry entry{path, status.st_mode & S_IFMT, ""};
        if (S_ISREG(status.st_mode)) {
            entry.contents.resize(size_t(status.st_size));
            EXPECT_TRUE(cursor.take(entry.contents.data(), entry.contents.size())) << path;
        }
        found.push_back(entry);
    }
    return found;
}

class StoreTree : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store.addBlock(storeBlockSize)); }
    ScratchFolder folder{"store-tree"};
    ConfigStore store{plenty};
};

TEST_F(StoreTree, DirectoryComesBeforeItsContentsAndLinksAreFollowed) {
    makeDirectories(folder / "store/sub");
    std::string big = bytes(33000, 'q');
    writeFile(folder / "store/sub/big", big);
    writeFile(folder / "outside", "reached through a link\n");
    ASSERT_EQ(symlink("../outside", (folder / "store/link").c_str()), 0);
    ASSERT_EQ(symlink("sub", (folder / "store/again").c_str()), 0); // a second way in, no loop
    ASSERT_EQ(mkfifo((folder / "store/pipe").c_str(), 0600), 0);
    ASSERT_TRUE(readTree(store, folder / "store"));
    store.finish();

    std::vector<StreamEntry> found = entries(store);
    std::map<std::string, size_t> at;
    for (size_t i = 0; i < found.size(); ++i)
        at[found[i].path.substr(folder.path.size())] = i;
    ASSERT_EQ(at.size(), 6u); // the pipe is not stored
    EXPECT_EQ(at["/store"], 0u);
    EXPECT_LT(at["/store/sub"], at["/store/sub/big"]);
    EXPECT_LT(at["/store/again"], at["/store/again/big"]);
    EXPECT_EQ(found[at["/store/sub/big"]].contents, big);
    EXPECT_EQ(found[at["/store/again/big"]].contents, big);
    EXPECT_EQ(found[at["/store/link"]].type, mode_t(S_IFREG));
    EXPECT_EQ(found[at["/store/link"]].contents, "reached through a link\n");
    EXPECT_EQ(found[at["/store/again"]].type, mode_t(S_IFDIR));
}

TEST_F(StoreTree, LinkBackUpToAnOpenDirectoryOrAMissingPathFailsInsteadOfRecursing) {
    auto fails = [](const std::string& path) {
        ConfigStore fresh(plenty);
        return fresh.addBlock(storeBlockSize) && !readTree(fresh, path);
    };
    makeDirectories(folder / "store/a");
    ASSERT_EQ(symlink("..", (folder / "store/a/up").c_str()), 0);
    EXPECT_TRUE(fails(folder / "store"));
    // A link to itself never even resolves.
    ASSERT_EQ(symlink("self", (folder / "self").c_str()), 0);
    EXPECT_TRUE(fails(folder / "self"));
    EXPECT_TRUE(fails(folder / "nothing"));
}

TEST_F(StoreTree, FileLargerThanTheBudgetIsRefusedBeforeItIsRead) {
    ScratchFiles files("store-tree");
    std::string path = files.image("huge", uint64_t(8) << 30); // sparse
    ConfigStore small(uint64_t(1) << 20);
    ASSERT_TRUE(small.addBlock(storeBlockSize));
    EXPECT_FALSE(readTree(small, path));
    EXPECT_EQ(small.allocated(), sizeof(StoreBlock) + storeBlockSize);
}

} // namespace
