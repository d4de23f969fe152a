#include "tools/rpx/manifest.h"

#include "package/record/version.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace rpx;

namespace {

bool parse(const std::string& text, Manifest& m, std::string& error) {
    std::istringstream in(text);
    return parseManifest(in, "/src", m, error);
}

} // namespace

TEST(Manifest, EveryKeyLandsWhereTheBuildNeedsIt) {
    Manifest m;
    std::string error;
    ASSERT_TRUE(parse("# a comment\n"
                      "name: tools\r\n"
                      "version: 3.0rc1\n"
                      "build-time: 1700000000\n"
                      "architecture: i386\n"
                      "description: Tools\n"
                      "description:   second line\n"
                      "depends: libc 2.0 -\n"
                      "depends: zlib\n"
                      "provides: mta 1.0 2.9.27 -5\n"
                      "conflicts: sendmail - 3.0beta\n"
                      "oninstall: scripts/in.sh\n"
                      "onuninstall: /abs/out.sh\n"
                      "payload: image.bin\n"
                      "unregistered: yes\n"
                      "owner: 0 100\n"
                      "entry-time: 5\n"
                      "node: /dev//console c 5 1 0600 0 5\n"
                      "node: run/initctl p 0600 0 0\n"
                      "attr: bin/su 4755 0 0\n",
                      m, error))
        << error;
    EXPECT_EQ(m.name, "tools");
    EXPECT_EQ(installer::formatVersion(m.version), "3.0rc1");
    EXPECT_EQ(*m.buildTime, 1700000000u);
    EXPECT_EQ(*m.description, "Tools\nsecond line");
    ASSERT_EQ(m.depends.size(), 2u);
    EXPECT_EQ(installer::formatVersion(m.depends[0].minVersion), "2.0");
    EXPECT_EQ(m.depends[0].maxVersion, 0u);
    EXPECT_EQ(m.depends[1].name, "zlib");
    EXPECT_EQ(m.provides[0].priority, -5);
    EXPECT_EQ(installer::formatVersion(m.provides[0].maxVersion), "2.9.27");
    EXPECT_EQ(m.conflicts[0].minVersion, 0u);
    EXPECT_EQ(m.onInstall, "/src/scripts/in.sh");
    EXPECT_EQ(m.onUninstall, "/abs/out.sh");
    EXPECT_TRUE(m.unregistered);
    EXPECT_EQ(*m.ownerGid, 100);
    ASSERT_EQ(m.nodes.size(), 3u);
    EXPECT_EQ(m.nodes[0].path, "dev/console");
    EXPECT_EQ(m.nodes[0].device, (5u << 8) | 1u);
    EXPECT_EQ(m.nodes[0].mode, 0600);
    EXPECT_EQ(m.nodes[2].type, 'a');
    EXPECT_EQ(m.nodes[2].mode, 04755);
}

TEST(Manifest, LargeDeviceNumbersUseTheSplitEncoding) {
    Manifest m;
    std::string error;
    ASSERT_TRUE(parse("name: d\nversion: 1.0\nnode: dev/x b 259 300 0600 0 0\n", m, error))
        << error;
    // minor's low byte, major above it, the rest of minor above bit 20
    EXPECT_EQ(m.nodes[0].device, (300u & 0xff) | (259u << 8) | ((300u & ~0xffu) << 12));
}

TEST(Manifest, HostileOrMistypedLinesAreRefusedWithTheLineNumber) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"version: 1.0\n", "no name"},
        {"name: a\n", "no version"},
        {"name: a\nname: b\nversion: 1.0\n", "line 2: name: \"name\" given twice"},
        {"name: abcdefghijklmnopq\nversion: 1.0\n", "line 1: name: bad package name"},
        {"name: a/b\nversion: 1.0\n", "bad package name"},
        {"name: ..\nversion: 1.0\n", "bad package name"},
        {"name: a\nversion: 3.0.0\n", "line 2: version: bad version"},
        {"name: a\nversion: 256.0\n", "bad version"},
        {"name: a\nversion: 1.0\nbuild-time: 4294967296\n", "bad build time"},
        {"name: a\nversion: 1.0\nbuild-time: -1\n", "bad build time"},
        {"name: a\nversion: 1.0\nflavour: sweet\n", "line 3: flavour: unknown key \"flavour\""},
        {"name: a\nversion: 1.0\njust text\n", "line 3: expected \"key: value\""},
        {"name: a\nversion: 1.0\ndepends: b 2.0 1.0\n", "minimum version above maximum"},
        {"name: a\nversion: 1.0\ndepends: b 1.0 2.0 7\n", "expected NAME [MIN [MAX]]"},
        {"name: a\nversion: 1.0\nprovides: b - - 2147483648\n", "bad priority"},
        {"name: a\nversion: 1.0\nprovides: b - - -2147483649\n", "bad priority"},
        {"name: a\nversion: 1.0\nnode: ../etc/passwd p 0600 0 0\n", "bad path"},
        {"name: a\nversion: 1.0\nnode: dev/x s 0600 0 0\n", "node type"},
        {"name: a\nversion: 1.0\nnode: dev/x c 5\n", "MAJOR"},
        {"name: a\nversion: 1.0\nnode: dev/x c 4096 1 0600 0 0\n", "MAJOR"},
        {"name: a\nversion: 1.0\nnode: dev/x p 0800 0 0\n", "MODE"},
        {"name: a\nversion: 1.0\nnode: dev/x p 0600 65536 0\n", "MODE"},
        {"name: a\nversion: 1.0\nnode: x p 0600 0 0\nnode: /x d 0700 0 0\n", "declared twice"},
        {"name: a\nversion: 1.0\nunregistered: maybe\n", "yes or no"},
        {"name: a\nversion: 1.0\noninstall: a b\n", "one file name"},
    };
    for (const auto& c : cases) {
        Manifest m;
        std::string error;
        EXPECT_FALSE(parse(c.text, m, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    }
}

TEST(Manifest, EntryPathsAreNormalisedOrRefused) {
    EXPECT_EQ(*normalEntryPath("/usr//bin/"), "usr/bin");
    EXPECT_EQ(*normalEntryPath("a/.b/c"), "a/.b/c");
    EXPECT_FALSE(normalEntryPath("a/../b"));
    EXPECT_FALSE(normalEntryPath("./a"));
    EXPECT_FALSE(normalEntryPath("/"));
    EXPECT_FALSE(normalEntryPath(std::string("a\0b", 3)));
    EXPECT_FALSE(normalEntryPath(std::string(70000, 'x')));
}
