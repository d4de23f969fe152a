// The boot image's installer as process 1 of the sandbox in network mode against this server:
// one machine over a veth pair, then eight at once on one bridge. Every machine ends with the
// served bytes on its disk and the server's report says so.
#include "testbed/ext_files.h"
#include "testbed/net_namespace.h"
#include "testbed/sandbox.h"
#include "testbed/support/child_command.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>

namespace {

const std::string buildDir = INSTALLER_BINARY_DIR;
const std::string binary = buildDir + "/tools/install-server/install-server";

int sh(const std::string& command) {
    return WEXITSTATUS(std::system(command.c_str()));
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The served directory: a small driver package, two sample packages and two scripts, one of
// them `noiseBytes` of random data (SERVER_BENCH_MB megabytes when set, for the benchmark).
struct ServedDirectory {
    ScratchFolder folder{"srv-installer"};
    std::string dir = folder / "served";
    std::string setup = "set hostname lab\n";
    std::string noise;
    explicit ServedDirectory(size_t bytes = 300000) {
        if (const char* mb = getenv("SERVER_BENCH_MB"))
            bytes = size_t(std::atof(mb) * (1 << 20));
        noise.resize(bytes);
        std::mt19937 generator(11);
        for (char& c : noise)
            c = static_cast<char>(generator());
        std::string tree = folder / "tree", manifest = folder / "manifest";
        std::ofstream(manifest) << "name: drivers\nversion: 1.0\nbuild-time: 1700000000\n"
                                   "entry-time: 1700000000\nowner: 0 0\n";
        std::string rpx = buildDir + "/tools/rpx/rpx";
        std::string command =
            "mkdir -p " + tree + "/lib/modules " + dir + "/drivers " + dir + "/packages " + dir +
            "/scripts && echo module > " + tree + "/lib/modules/storage.ko && " + rpx +
            " build --manifest " + manifest + " --tree " + tree + " --output " + dir +
            "/drivers/default.rpx && " + rpx + " sign --key " + INSTALLER_SOURCE_DIR +
            "/keys/dev.sec " + dir + "/drivers/default.rpx >/dev/null && cp " + buildDir +
            "/samples/system.rpx " + buildDir + "/samples/routing.rpx " + dir + "/packages/";
        EXPECT_EQ(sh(command), 0) << command;
        std::ofstream(dir + "/scripts/setup.scr") << setup;
        std::ofstream(dir + "/scripts/noise.scr", std::ios::binary) << noise;
    }
};

// The server as a child in its namespace; killed if the test ends before it does.
struct ServerProcess : ChildCommand {
    ServerProcess(const std::string& space, const std::vector<std::string>& extra,
                  const std::string& out)
        : ChildCommand(serveArguments(space, extra), out) {}
    static std::vector<std::string> serveArguments(const std::string& space,
                                                   const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"ip", "netns", "exec", space, binary, "serve"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

class RealServer : public testing::Test {
protected:
    void SetUp() override {
        if (!canMakeNetNamespaces())
            GTEST_SKIP() << "needs root and ip";
        ASSERT_TRUE(leaveHostNetwork());
        serverSide = std::make_unique<NetNamespace>("s");
        ASSERT_TRUE(serverSide->valid());
    }

    // Machines installed at once, each in a namespace of its own; with more than one their
    // veth pairs meet on a bridge in the server's namespace.
    void installAll(size_t count) {
        std::vector<std::unique_ptr<NetNamespace>> spaces;
        if (count > 1) {
            ASSERT_TRUE(serverSide->ip("link add name br0 type bridge") &&
                        serverSide->ip("link set br0 up"));
        }
        for (size_t n = 0; n < count; ++n) {
            spaces.push_back(std::make_unique<NetNamespace>("i" + std::to_string(n)));
            ASSERT_TRUE(spaces.back()->valid());
            std::string far = vethName("s" + std::to_string(n));
            ASSERT_TRUE(
                addVethPair(*spaces.back(), vethName("i" + std::to_string(n)), *serverSide, far));
            if (count > 1) {
                ASSERT_TRUE(serverSide->ip("link set " + far + " master br0"));
            }
        }
        std::string report = served.folder / "report.json";
        ServerProcess server(serverSide->name(),
                             {served.dir, "--table", "none", "--expect", std::to_string(count),
                              "--exit-when-done", "--report", report, "--log",
                              served.folder / "log.jsonl"},
                             served.folder / "serve.out");
        usleep(500000);
        uint64_t diskBytes = (64 << 20) + 2 * served.noise.size();
        std::vector<std::string> disks;
        std::vector<std::unique_ptr<Sandbox>> sandboxes;
        double start = seconds();
        for (size_t n = 0; n < count; ++n) {
            disks.push_back(scratch.image("hd" + std::to_string(n) + ".img", diskBytes));
            SandboxOptions options;
            options.type = "net\n";
            options.networkNamespace = spaces[n]->path();
            options.disks = {{"hda", disks.back()}};
            sandboxes.push_back(std::make_unique<Sandbox>(options));
            ASSERT_TRUE(sandboxes.back()->start()) << sandboxes.back()->error();
        }
        for (auto& sandbox : sandboxes) {
            bool ended = sandbox->waitFor("Software installed.\nPress ENTER to reboot\n", 600) &&
                         sandbox->wait(60);
            ASSERT_TRUE(ended && sandbox->transcript().find("Rebooting...") != std::string::npos)
                << sandbox->transcript();
        }
        double elapsed = seconds() - start;
        EXPECT_EQ(server.wait(20), 0) << fileContents(served.folder / "serve.out");
        nlohmann::json result = nlohmann::json::parse(fileContents(report), nullptr, false);
        ASSERT_FALSE(result.is_discarded()) << fileContents(served.folder / "serve.out");
        EXPECT_EQ(result["done"], count);
        uint64_t bytes = 0;
        for (auto& machine : result["machines"])
            bytes += machine["bytes"].get<uint64_t>();
        std::printf("%zu installer(s): %llu bytes served in %.2f s, %.2f MB/s in total\n", count,
                    static_cast<unsigned long long>(bytes), elapsed, double(bytes) / elapsed / 1e6);
        RecordProperty("total_rate_bytes_per_second", std::to_string(double(bytes) / elapsed));
        sandboxes.clear();
        for (const std::string& disk : disks) {
            EXPECT_EQ(diskFile(disk, "/setup.scr"), served.setup) << disk;
            EXPECT_TRUE(diskFile(disk, "/noise.scr") == served.noise) << disk;
            EXPECT_TRUE(diskFile(disk, "/var/pdb/system/image") ==
                        fileContents(buildDir + "/samples/system.rpx"))
                << disk;
        }
    }

    std::string diskFile(const std::string& disk, const std::string& path) {
        uint64_t offset = 0, size = 0;
        std::string text, error;
        EXPECT_TRUE(partitionExtent(disk, 1, offset, size));
        if (!readExtFile(disk, offset, path, text, &error))
            return "<missing: " + error + ">";
        return text;
    }

    ScratchFiles scratch{"srv-installer"};
    ServedDirectory served;
    std::unique_ptr<NetNamespace> serverSide;
};

} // namespace

TEST_F(RealServer, OneInstallerReceivesEveryServedByte) {
    installAll(1);
}

TEST_F(RealServer, EightInstallersOnOneBridgeAllComplete) {
    installAll(8);
}

TEST_F(RealServer, KilledWhileItSendsAFileTheInstallerReportsABadConnection) {
    ServedDirectory big(32 << 20); // a couple of seconds of transfer
    NetNamespace space("i0");
    ASSERT_TRUE(space.valid());
    ASSERT_TRUE(addVethPair(space, vethName("i0"), *serverSide, vethName("s0")));
    ServerProcess server(serverSide->name(), {big.dir, "--table", "none"},
                         big.folder / "serve.out");
    usleep(500000);
    SandboxOptions options;
    options.type = "net\n";
    options.networkNamespace = space.path();
    std::string disk = scratch.image("hd.img", (64 << 20) + 2 * big.noise.size());
    options.disks = {{"hda", disk}};
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("Writing configuration...\n", 120)) << sandbox.transcript();
    usleep(300000);
    ASSERT_EQ(kill(server.pid, SIGKILL), 0);
    EXPECT_EQ(server.wait(10), 128 + SIGKILL);
    ASSERT_TRUE(sandbox.waitFor("\nFATAL ERROR: bad network connection\n", 30) &&
                sandbox.waitFor("Press ENTER to reboot\n"))
        << sandbox.transcript();
    EXPECT_EQ(sandbox.transcript().find("Software installed."), std::string::npos);
    std::string mounts;
    for (int n = 0; n < 40; ++n) {
        mounts = sandbox.mountPoints();
        if (mounts.find("/flash") == std::string::npos)
            break;
        usleep(50000);
    }
    EXPECT_EQ(mounts.find("/flash"), std::string::npos) << mounts;
    sandbox.send("\r");
    EXPECT_TRUE(sandbox.wait(20));
    EXPECT_TRUE(sandbox.stop()) << sandbox.error();
    EXPECT_TRUE(diskFile(disk, "/CDINSTALL").find("<missing") == 0) << "not marked installed";
}
