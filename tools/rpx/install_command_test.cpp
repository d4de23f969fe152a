// rpx list on databases made by hand, and rpx install of the sample set run as a user would.
#include "testbed/support/command_output.h"
#include "testbed/support/repository_console.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "tools/rpx/list_command.h"

#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace rpx;

namespace {

void record(const ScratchFolder& root, const std::string& name,
            const std::vector<std::pair<std::string, std::string>>& files) {
    std::string dir = root / ("var/pdb/" + name);
    std::filesystem::create_directories(dir);
    for (const auto& [file, text] : files)
        writeFile(dir + "/" + file, text);
}

std::string listed(const ScratchFolder& root, bool json) {
    std::vector<ListedPackage> packages;
    std::string error;
    EXPECT_TRUE(readDatabase(root.path, packages, error)) << error;
    std::ostringstream out;
    printDatabase(packages, json, out);
    return out.str();
}

// Runs the rpx program with a shell command line; standard error joins the output.
CommandRun runRpx(const std::string& arguments, const std::string& prefix = "") {
    return runCommand(prefix + RPX_BINARY " " + arguments + " 2>&1");
}

using testconsole::messageLines;

const std::string samples = SAMPLES_DIR;

} // namespace

TEST(RpxList, ShowsVersionStateAndBundleOfEveryRecordInNameOrder) {
    ScratchFolder root;
    record(root, "system",
           {{"version", "50397440 1700000000\n"}, {"files", "etc/issue\n"}, {"enabled", "user\n"}});
    record(root, "dhcp",
           {{"version", "50397440 1\n"},
            {"files", ""},
            {"disabled", "auto\n"},
            {"bundle", "extras\n"}});
    record(root, "extras", {{"version", "50397440 1\n"}});
    record(root, "ppp", {{"version", "garbage"}, {"files", ""}, {"disabled", "user\n"}});
    EXPECT_EQ(listed(root, false), "dhcp             3.1        disabled (auto)  in extras\n"
                                   "extras           3.1        enabled (auto)   bundle\n"
                                   "ppp              ?          disabled (user)\n"
                                   "system           3.1        enabled (user)\n");
    std::string json = listed(root, true);
    EXPECT_TRUE(json.starts_with("[{\"name\":\"dhcp\",\"version\":\"3.1\",\"enabled\":false,"
                                 "\"state\":\"auto\",\"bundle\":\"extras\",\"isBundle\":false},"))
        << json;
    EXPECT_TRUE(json.ends_with("\"bundle\":null,\"isBundle\":false}]\n")) << json;
}

TEST(RpxList, MissingDatabaseIsAnError) {
    ScratchFolder root;
    CommandRun run = runRpx("list --root " + root.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("var/pdb/"), std::string::npos) << run.output;
}

TEST(RpxInstall, RefusesToRunWithoutRoot) {
    ScratchFolder root;
    chmod(root.path.c_str(), 0777);
    // As root the check is seen through an unprivileged user; otherwise as ourselves.
    std::string prefix =
        geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    CommandRun run = runRpx("install --root " + root.path + " " + samples + "/system.rpx", prefix);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "rpx: install: must be run as root: the target is mounted at /flash "
                          "in a private mount namespace\n");
    EXPECT_FALSE(std::filesystem::exists(root / "var/pdb/system"));
}

TEST(RpxInstall, SampleSetGoesInAsAFlowInstallsIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "installing needs root";
    ScratchFolder root;
    CommandRun run = runRpx("install --root " + root.path + " " + samples + "/system.rpx " +
                            samples + "/routing.rpx " + samples + "/extras.rpx");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(messageLines(run.output),
              "installed system-3.1\ninstalled routing-3.1\ninstalled extras-3.1\n");
    EXPECT_EQ(fileContents(root / "etc/issue"), "vela router system\n");
    EXPECT_TRUE(fileContents(root / "var/pdb/system/image") ==
                fileContents(samples + "/system.rpx"));
    EXPECT_FALSE(std::filesystem::exists(root / "var/pdb/routing/image"));
    EXPECT_FALSE(std::filesystem::exists(root / "image"));
    EXPECT_TRUE(std::filesystem::exists(root / "x/dhcp/etc/dhcpd.conf")) << "optional: disabled";
    EXPECT_TRUE(std::filesystem::exists(root / "etc/ppp/options"));

    CommandRun list = runRpx("list --root " + root.path);
    EXPECT_EQ(list.output, "dhcp             3.1        disabled (auto)  in extras\n"
                           "extras           3.1        enabled (auto)   bundle\n"
                           "ppp              3.1        enabled (auto)   in extras\n"
                           "routing          3.1        enabled (auto)\n"
                           "system           3.1        enabled (auto)\n");

    CommandRun again = runRpx("install --root " + root.path + " " + samples + "/routing.rpx");
    EXPECT_EQ(messageLines(again.output),
              "WARNING: omitting package routing-3.1: it is already installed\n");
}

TEST(RpxInstall, UnreadableFileInstallsNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "installing needs root";
    ScratchFolder root;
    CommandRun run = runRpx("install --root " + root.path + " " + samples + "/system.rpx " +
                            root.path + "/missing.rpx");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("missing.rpx: No such file or directory"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(root / "var/pdb/system"));
}
