#include "testbed/support/command_output.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
    for (const char* command :
         {"keygen", "build", "bundle", "sign", "verify", "inspect", "install", "list"}) {
        // --help anywhere on the line, or -h, shows the command's own text.
        for (std::string arguments :
             {std::string(command) + " --help", std::string(command) + " x -h"}) {
            ToolRun run = runRpx(arguments, folder);
            EXPECT_EQ(run.status, 0) << arguments;
            EXPECT_EQ(run.out.rfind(std::string("usage: rpx ") + command, 0), 0u) << run.out;
        }
    }
    for (const char* arguments : {"--help", "help"}) {
        ToolRun run = runRpx(arguments, folder);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind("usage: rpx COMMAND [OPTIONS]\n", 0), 0u) << run.out;
    }
    ToolRun none = runRpx("", folder);
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err.rfind("usage: rpx COMMAND [OPTIONS]\n", 0), 0u) << none.err;
    ToolRun unknown = runRpx("frobnicate", folder);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "rpx: unknown command \"frobnicate\" (see rpx --help)\n");
}

TEST(RpxCommandLine, KeygenBuildSignInspectVerify) {
    ScratchFolder folder;
    auto rpx = [&](const std::string& arguments) { return runRpx(arguments, folder); };
    std::string secret = folder / "k.sec", key = " --key " + folder / "k.pub ",
                package = folder / "h.rpx";
    mkdir((folder / "tree").c_str(), 0755);
    writeFile(folder / "tree/hello", "hello\n");
    writeFile(folder / "m", "name: hello\nversion: 2.9.27\nbuild-time: 5\n");
    ASSERT_EQ(rpx("keygen " + secret + " " + folder / "k.pub").status, 0);
    struct stat st;
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the secret key is for its owner only";
    std::string build = "build --manifest " + folder / "m --tree " + folder / "tree --output ";
    ASSERT_EQ(rpx(build + package).status, 0);
    ToolRun unsignedRun = rpx("verify" + key + package);
    EXPECT_EQ(unsignedRun.status, 1);
    EXPECT_NE(unsignedRun.err.find(package + ": package 1 (hello) is not signed"),
              std::string::npos)
        << unsignedRun.err;
    ASSERT_EQ(rpx("sign --key " + secret + " " + package).status, 0);
    ToolRun verified = rpx("verify" + key + package);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.out, package + ": 1 package verified\n");
    ToolRun inspected = rpx("inspect --json" + key + package);
    EXPECT_EQ(inspected.status, 0);
    EXPECT_NE(inspected.out.find("\"signature\":\"valid\""), std::string::npos) << inspected.out;
    ToolRun again = rpx("sign --key " + secret + " " + package);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already signed"), std::string::npos);
}

TEST(RpxCommandLine, BadInputIsNamedOnStandardError) {
    ScratchFolder folder;
    writeFile(folder / "m", "name: x\nversion: one\n");
    writeFile(folder / "junk.rpx", std::string(100, '\xff'));
    // Bad input ends with 1; a command line that cannot be understood with 2, on one line that
    // names the command and where its help is.
    const struct {
        std::string arguments, message;
        int status;
    } cases[] = {
        {"build --manifest " + folder / "m --output " + folder / "x.rpx",
         folder / "m: line 2: version: bad version", 1},
        {"build --manifest " + folder / "none --output " + folder / "x.rpx", "none", 1},
        {"sign --key " + folder / "none " + folder / "junk.rpx", "none", 1},
        {"inspect " + folder / "junk.rpx", folder / "junk.rpx: not a package file", 1},
        {"build --output", "rpx: build: --output: 1 required TEXT missing (see rpx build --help)\n",
         2},
        {"inspect --colour " + folder / "junk.rpx",
         "rpx: inspect: The following argument was not expected: --colour (see rpx inspect "
         "--help)\n",
         2},
        {"keygen " + folder / "k", "rpx: keygen: needs SECRET and PUBLIC (see rpx keygen --help)\n",
         2},
        {"list --root a --root b", "rpx: list: --root: At Most 1 required but received 2", 2},
        {"install " + folder / "junk.rpx", "rpx: install: needs --root and package files", 2},
    };
    for (const auto& c : cases) {
        ToolRun run = runRpx(c.arguments, folder);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
    }
}
