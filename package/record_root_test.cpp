#include "package/record_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

using namespace installer;

namespace {

bool present(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A root and, beside it, an "outside" directory that must stay untouched.
class ConfinedRootTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/confined-root-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        base = name;
        root = base + "/root";
        outside = base + "/outside";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    }
    void TearDown() override { std::system(("rm -rf " + base).c_str()); }

    // Creates a file at `path` the way the installer does: parent resolved in the root, the
    // object made relative to it.
    bool createInside(ConfinedRoot& confined, const std::string& path) {
        std::string leaf;
        int dir = confined.parent(path, leaf, true);
        if (dir < 0)
            return false;
        int fd = openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW, 0644);
        if (fd < 0)
            return false;
        close(fd);
        return true;
    }

    std::string base, root, outside;
};

} // namespace

TEST_F(ConfinedRootTest, AbsoluteLinkInAParentPathLeadsBackIntoTheRoot) {
    ASSERT_EQ(symlink(outside.c_str(), (root + "/escape").c_str()), 0);
    ConfinedRoot confined(root);
    ASSERT_TRUE(createInside(confined, "/escape/file"));
    EXPECT_FALSE(present(outside + "/file"));
    EXPECT_TRUE(present(root + outside + "/file")) << "as a chroot into the root sees it";
}

TEST_F(ConfinedRootTest, DotDotInALinkTargetStopsAtTheRoot) {
    ASSERT_EQ(symlink("../../../../outside", (root + "/up").c_str()), 0);
    ConfinedRoot confined(root);
    ASSERT_TRUE(createInside(confined, "up/file"));
    EXPECT_FALSE(present(outside + "/file"));
    EXPECT_TRUE(present(root + "/outside/file"));
}

TEST_F(ConfinedRootTest, LinkAtTheLastComponentIsNotFollowed) {
    ASSERT_EQ(symlink((outside + "/target").c_str(), (root + "/victim").c_str()), 0);
    ConfinedRoot confined(root);
    std::string leaf;
    int dir = confined.parent("victim", leaf, false);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(leaf, "victim");
    EXPECT_LT(openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW, 0644), 0);
    EXPECT_FALSE(present(outside + "/target"));
}

TEST_F(ConfinedRootTest, LinkLoopsAndFilesInTheWayFail) {
    ASSERT_EQ(symlink("b", (root + "/a").c_str()), 0);
    ASSERT_EQ(symlink("a", (root + "/b").c_str()), 0);
    int fd = open((root + "/plain").c_str(), O_WRONLY | O_CREAT, 0644);
    close(fd);
    ConfinedRoot confined(root);
    std::string leaf;
    EXPECT_LT(confined.parent("a/x", leaf, true), 0);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_LT(confined.parent("plain/x", leaf, true), 0);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(ConfinedRootTest, MissingDirectoriesAreCreatedOnlyWhenAsked) {
    ConfinedRoot confined(root);
    std::string leaf;
    EXPECT_LT(confined.parent("a/b/c", leaf, false), 0);
    EXPECT_FALSE(present(root + "/a"));
    EXPECT_GE(confined.parent("a/b/c", leaf, true), 0);
    EXPECT_EQ(leaf, "c");
    EXPECT_TRUE(present(root + "/a/b"));
    EXPECT_FALSE(present(root + "/a/b/c"));

    int fd = confined.openDirectory("x/y", true);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(present(root + "/x/y"));
}

TEST(PathComponents, DropsEmptyAndDotPartsAndSpotsParentReferences) {
    EXPECT_EQ(pathComponents("//a/./b//c/"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(hasParentComponent("a/../b"));
    EXPECT_TRUE(hasParentComponent("/.."));
    EXPECT_FALSE(hasParentComponent("a/..b/c.."));
}
