#include "testbed/support/command_output.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

namespace {

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun runRpx(const std::string& arguments, const ScratchFolder& folder) {
    std::string errPath = folder / "stderr";
    std::string command = std::string(RPX_BINARY) + " " + arguments + " 2>" + errPath;
    CommandRun run = runCommand(command);
    return {run.status, run.output, fileContents(errPath)};
}

} // namespace

TEST(RpxCommandLine, EveryCommandExplainsItself) {
    ScratchFolder folder;
    for (const char* command : {"keygen", "build", "bundle", "sign", "verify", "inspect"}) {
        ToolRun run = runRpx(std::string(command) + " --help", folder);
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out.rfind(std::string("usage: rpx ") + command, 0), 0u) << run.out;
    }
    EXPECT_EQ(runRpx("--help", folder).status, 0);
    EXPECT_NE(runRpx("", folder).status, 0);
    ToolRun unknown = runRpx("frobnicate", folder);
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.err.find("unknown command \"frobnicate\""), std::string::npos);
}

TEST(RpxCommandLine, KeygenBuildSignInspectVerify) {
    ScratchFolder folder;
    mkdir((folder / "tree").c_str(), 0755);
    writeFile(folder / "tree/hello", "hello\n");
    writeFile(folder / "m", "name: hello\nversion: 2.9.27\nbuild-time: 5\n");
    ASSERT_EQ(runRpx("keygen " + folder / "k.sec " + folder / "k.pub", folder).status, 0);
    struct stat st;
    ASSERT_EQ(stat((folder / "k.sec").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the secret key is for its owner only";
    ASSERT_EQ(runRpx("build --manifest " + folder / "m --tree " + folder / "tree --output " +
                         folder / "h.rpx",
                     folder)
                  .status,
              0);
    ToolRun unsignedRun = runRpx("verify --key " + folder / "k.pub " + folder / "h.rpx", folder);
    EXPECT_EQ(unsignedRun.status, 1);
    EXPECT_NE(unsignedRun.err.find(folder / "h.rpx: package 1 (hello) is not signed"),
              std::string::npos)
        << unsignedRun.err;
    ASSERT_EQ(runRpx("sign --key " + folder / "k.sec " + folder / "h.rpx", folder).status, 0);
    ToolRun verified = runRpx("verify --key " + folder / "k.pub " + folder / "h.rpx", folder);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.out, folder / "h.rpx: 1 package verified\n");
    ToolRun inspected =
        runRpx("inspect --json --key " + folder / "k.pub " + folder / "h.rpx", folder);
    EXPECT_EQ(inspected.status, 0);
    EXPECT_NE(inspected.out.find("\"signature\":\"valid\""), std::string::npos) << inspected.out;
    ToolRun again = runRpx("sign --key " + folder / "k.sec " + folder / "h.rpx", folder);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already signed"), std::string::npos);
}

TEST(RpxCommandLine, BadInputIsNamedOnStandardError) {
    ScratchFolder folder;
    writeFile(folder / "m", "name: x\nversion: one\n");
    writeFile(folder / "junk.rpx", std::string(100, '\xff'));
    const struct {
        std::string arguments, message;
    } cases[] = {
        {"build --manifest " + folder / "m --output " + folder / "x.rpx",
         folder / "m: line 2: version: bad version"},
        {"build --manifest " + folder / "none --output " + folder / "x.rpx", "none"},
        {"build --output", "--output needs a value"},
        {"sign --key " + folder / "none " + folder / "junk.rpx", "none"},
        {"inspect " + folder / "junk.rpx", folder / "junk.rpx: not a package file"},
        {"inspect --colour " + folder / "junk.rpx", "unknown option --colour"},
    };
    for (const auto& c : cases) {
        ToolRun run = runRpx(c.arguments, folder);
        EXPECT_NE(run.status, 0) << c.arguments;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
    }
}
