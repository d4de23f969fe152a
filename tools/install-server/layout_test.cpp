// The served directory as check and serve read it: what each machine gets in which order, and
// every kind of broken directory refused with the file named.
#include "tools/install-server/layout.h"

#include "testbed/support/scratch_files.h"
#include "testbed/support/stream_packages.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace iserver;
using installer::makeVersion;

namespace {

struct Served {
    ScratchFolder folder{"srv-layout"};

    Served() {
        for (const char* sub : {"drivers", "packages", "scripts", "machines", "labels"})
            mkdir((folder / sub).c_str(), 0755);
        write("drivers/default.rpx", streamtest::simple("drv").signedFile());
    }
    void write(const std::string& name, const std::string& bytes) {
        std::string path = folder / name;
        for (size_t slash = path.find('/', folder.path.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string package(const std::string& name, std::vector<std::string> needs = {}) {
        testpkg::Draft draft = streamtest::simple(name);
        for (const std::string& need : needs)
            draft.depends.push_back({need, 0, 0, 0});
        return draft.signedFile();
    }
    std::vector<std::string> problems;
    std::shared_ptr<Content> load() {
        problems.clear();
        return loadContent(folder.path, LoadOptions{}, problems);
    }
    // The one problem found, which must name the file.
    std::string onlyProblem(const std::string& file) {
        load();
        EXPECT_EQ(problems.size(), 1u) << testing::PrintToString(problems);
        if (problems.empty())
            return "";
        EXPECT_EQ(problems[0].rfind(folder / file, 0), 0u) << problems[0];
        return problems[0];
    }
};

std::vector<std::string> names(const Offer& offer) {
    std::vector<std::string> out;
    for (const FilePtr& file : offer.files)
        out.push_back(file->name);
    return out;
}

} // namespace

TEST(ServedDirectory, packagesGoOutAfterWhatTheyNeedAndMachinesGetTheirOwnAdditions) {
    Served d;
    d.write("packages/a-app.rpx", Served::package("app", {"lib", "base"}));
    d.write("packages/b-lib.rpx", Served::package("lib", {"base"}));
    d.write("packages/c-base.rpx", Served::package("base"));
    d.write("scripts/rw/autorun.scr", "general\n");
    d.write("scripts/site.scr", "site\n");
    d.write("machines/02-1a-2b-3c-4d-5e/rw/autorun.scr", "own\n");
    d.write("machines/02-1a-2b-3c-4d-5e/keep", "");
    d.write("machines/02:1A:2B:3C:4D:5F/extra.rpx", Served::package("extra", {"app"}));
    d.write("labels/rack7/rack.scr", "rack\n");
    d.write("drivers/6.1.0-17-686.rpx", streamtest::simple("drv2").signedFile());
    auto content = d.load();
    ASSERT_TRUE(d.problems.empty()) << testing::PrintToString(d.problems);

    using V = std::vector<std::string>;
    EXPECT_EQ(names(content->general),
              (V{"c-base.rpx", "b-lib.rpx", "a-app.rpx", "rw/autorun.scr", "site.scr"}));
    EXPECT_FALSE(content->general.keep);
    Offer own = content->offerFor({0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, "rack7");
    EXPECT_EQ(names(own), (V{"c-base.rpx", "b-lib.rpx", "a-app.rpx", "rw/autorun.scr", "site.scr",
                             "rack.scr"}));
    EXPECT_TRUE(own.keep);
    EXPECT_EQ(own.files[3]->path, d.folder / "machines/02-1a-2b-3c-4d-5e/rw/autorun.scr");
    Offer other = content->offerFor({0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f}, "");
    EXPECT_EQ(names(other), (V{"c-base.rpx", "b-lib.rpx", "a-app.rpx", "extra.rpx",
                               "rw/autorun.scr", "site.scr"}));
    EXPECT_EQ(content->driverFor("6.1.0-17-686")->name, "6.1.0-17-686.rpx");
    EXPECT_EQ(content->driverFor("5.10")->name, "default.rpx");

    // An order file is taken as it stands, and its order is checked.
    d.write("order", "packages/c-base.rpx\nscripts/site.scr\npackages/b-lib.rpx\n"
                     "packages/a-app.rpx\nscripts/rw/autorun.scr\n");
    d.write("keep", "");
    content = d.load();
    ASSERT_TRUE(d.problems.empty()) << testing::PrintToString(d.problems);
    EXPECT_EQ(names(content->general),
              (V{"c-base.rpx", "site.scr", "b-lib.rpx", "a-app.rpx", "rw/autorun.scr"}));
    EXPECT_TRUE(content->general.keep);
}

TEST(ServedDirectory, unmetDependenciesAndBadOrderFilesAreNamed) {
    Served d;
    d.write("packages/app.rpx", Served::package("app", {"missing"}));
    EXPECT_NE(d.onlyProblem("packages/app.rpx").find("needs missing"), std::string::npos);

    Served o;
    o.write("packages/app.rpx", Served::package("app", {"lib"}));
    o.write("packages/lib.rpx", Served::package("lib"));
    o.write("order", "packages/app.rpx\npackages/lib.rpx\n");
    EXPECT_NE(o.onlyProblem("packages/app.rpx").find("needs lib"), std::string::npos);
    o.write("order", "packages/lib.rpx\npackages/nothere.rpx\n");
    o.load();
    ASSERT_EQ(o.problems.size(), 2u) << testing::PrintToString(o.problems);
    EXPECT_NE(o.problems[0].find("nothere.rpx"), std::string::npos);
    EXPECT_NE(o.problems[1].find("does not list packages/app.rpx"), std::string::npos);

    // A machine's own package needs what nobody sends it.
    Served m;
    m.write("machines/02-00-00-00-00-01/tool.rpx", Served::package("tool", {"runtime"}));
    EXPECT_NE(m.onlyProblem("machines/02-00-00-00-00-01/tool.rpx").find("02:00:00:00:00:01"),
              std::string::npos);
}

TEST(ServedDirectory, brokenPackagesAreRefusedWithTheFileNamed) {
    std::string good = Served::package("good");
    struct Case {
        const char* what;
        std::string bytes;
        const char* expected;
    };
    testpkg::Draft climbing = streamtest::simple("climb");
    climbing.entries.push_back(testpkg::regular("../../etc/passwd", "x"));
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x20;
    std::vector<Case> cases = {
        {"unsigned", streamtest::simple("plain").unsignedFile(), "unsigned"},
        {"truncated", good.substr(0, good.size() - 30), ""},
        {"garbage", std::string(200, 'x'), ""},
        {"damaged", flipped, ""},
        {"climbing", climbing.signedFile(), "outside /flash"},
    };
    for (const Case& c : cases) {
        Served d;
        d.write("packages/ok.rpx", good);
        d.write(std::string("packages/") + c.what + ".rpx", c.bytes);
        std::string problem = d.onlyProblem(std::string("packages/") + c.what + ".rpx");
        EXPECT_NE(problem.find(c.expected), std::string::npos) << c.what << ": " << problem;
    }
}

// The one problem with a served directory once `make` has put something at `file` in it.
std::string problemWith(const std::string& file, void (*make)(const std::string& path)) {
    Served d;
    make(d.folder / file);
    return d.onlyProblem(file);
}

TEST(ServedDirectory, namesAClientWouldMishandleAndUnreadableFilesAreRefused) {
    auto text = [](const std::string& path) { std::ofstream(path) << "x"; };
    EXPECT_NE(problemWith("scripts/a-name-that-is-far-too-long-for-it.scr", text).find("32"),
              std::string::npos);
    problemWith("scripts/notes.txt", text);
    problemWith("scripts/link.scr",
                [](const std::string& path) { symlink("/etc/passwd", path.c_str()); });
    EXPECT_NE(problemWith("packages/pipe.rpx",
                          [](const std::string& path) { mkfifo(path.c_str(), 0644); })
                  .find("not a regular file"),
              std::string::npos);
    problemWith("machines/not-a-mac", [](const std::string& path) { mkdir(path.c_str(), 0755); });
    problemWith("drivers",
                [](const std::string& path) { unlink((path + "/default.rpx").c_str()); });

    EXPECT_EQ(scriptNameProblem("rw/autorun.scr"), "");
    for (const char* bad : {"../etc/rc.scr", "/etc/rc.scr", ".scr", "a\nb.scr"})
        EXPECT_NE(scriptNameProblem(bad), "") << bad;
}
