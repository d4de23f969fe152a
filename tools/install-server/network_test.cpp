// The server and the simulator over a veth pair between two network namespaces of this test's
// own ("srv" names carrying the process id, removed at the end): every byte arrives, also with
// a tenth of the datagrams lost in each direction, and a vanished client is marked lost while
// the others finish.
#include "testbed/scratch_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

const std::string binary = INSTALLER_BINARY_DIR "/tools/install-server/install-server";
const std::string samples = INSTALLER_BINARY_DIR "/samples/";

int sh(const std::string& command) { return WEXITSTATUS(std::system(command.c_str())); }

struct Lan {
    std::string a = "srva" + std::to_string(getpid()), b = "srvb" + std::to_string(getpid());
    bool ok = false;
    Lan() {
        ok = sh("ip netns add " + a + " && ip netns add " + b + " && ip link add " + a +
                "v netns " + a + " type veth peer name " + b + "v netns " + b + " && ip -n " + a +
                " link set " + a + "v up && ip -n " + b + " link set " + b + "v up") == 0;
    }
    ~Lan() { sh("ip netns del " + a + " 2>/dev/null; ip netns del " + b + " 2>/dev/null"); }
};

struct Served {
    ScratchFolder folder{"srv-net"};
    std::string dir = folder / "served";
    explicit Served(size_t bigBytes) {
        sh("mkdir -p " + dir + "/drivers " + dir + "/packages " + dir + "/scripts/rw && cp " +
           samples + "routing.rpx " + dir + "/drivers/default.rpx && cp " + samples + "system.rpx " +
           samples + "routing.rpx " + samples + "extras.rpx " + dir + "/packages/ && head -c " +
           std::to_string(bigBytes) + " /dev/urandom > " + dir + "/scripts/big.scr");
    }
    // Serves in `a`, simulates in `b`; the exit statuses and the server's report.
    void go(const Lan& lan, size_t clients, const std::string& serveExtra,
            const std::string& simulateExtra, int& serveStatus, int& simulateStatus,
            nlohmann::json& report) {
        std::string serve = "ip netns exec " + lan.a + " " + binary + " serve " + dir +
                            " --table none --expect " + std::to_string(clients) +
                            " --exit-when-done --report " + (folder / "report.json") + " " +
                            serveExtra + " > " + (folder / "serve.out") + " 2>&1; echo $? > " +
                            (folder / "serve.rc");
        sh("(" + serve + ") & sleep 0.5");
        simulateStatus = sh("ip netns exec " + lan.b + " " + binary + " simulate " +
                            std::to_string(clients) + " --dir " + dir + " --quiet --timeout 120 " +
                            simulateExtra + " > " + (folder / "simulate.out") + " 2>&1");
        for (int i = 0; i < 100 && access((folder / "serve.rc").c_str(), F_OK) != 0; ++i)
            usleep(100000);
        std::ifstream(folder / "serve.rc") >> serveStatus;
        std::ifstream in(folder / "report.json");
        report = nlohmann::json::parse(in, nullptr, false);
    }
};

} // namespace

TEST(ServerOverVeth, oneEightAndManyClientsReceiveEveryByte) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    for (size_t clients : {1, 8, 256}) {
        Lan lan;
        ASSERT_TRUE(lan.ok);
        Served run(clients > 8 ? 20000 : 1000000);
        int serveStatus = -1, simulateStatus = -1;
        nlohmann::json report;
        run.go(lan, clients, "", "", serveStatus, simulateStatus, report);
        EXPECT_EQ(simulateStatus, 0) << clients;
        EXPECT_EQ(serveStatus, 0) << clients;
        ASSERT_FALSE(report.is_discarded());
        EXPECT_EQ(report["done"], clients);
        // Every machine got the same bytes of every file.
        std::string digest = report["machines"][0]["files"].back()["sha256"];
        for (auto& machine : report["machines"])
            EXPECT_EQ(machine["files"].back()["sha256"], digest);
    }
}

TEST(ServerOverVeth, aTenthOfTheDatagramsLostBothWays) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    ASSERT_TRUE(lan.ok);
    ASSERT_EQ(sh("ip netns exec " + lan.b + " nft add table inet srvloss && ip netns exec " + lan.b +
                 " nft 'add chain inet srvloss in { type filter hook input priority 0; }' && "
                 "ip netns exec " + lan.b + " nft 'add chain inet srvloss out { type filter hook "
                 "output priority 0; }' && ip netns exec " + lan.b +
                 " nft add rule inet srvloss in udp dport 5000 numgen random mod 10 0 drop && "
                 "ip netns exec " + lan.b +
                 " nft add rule inet srvloss out udp dport 5000 numgen random mod 10 0 drop"),
              0);
    Served run(300000);
    int serveStatus = -1, simulateStatus = -1;
    nlohmann::json report;
    run.go(lan, 8, "", "", serveStatus, simulateStatus, report);
    EXPECT_EQ(simulateStatus, 0);
    EXPECT_EQ(serveStatus, 0);
    ASSERT_FALSE(report.is_discarded());
    EXPECT_EQ(report["done"], 8);
    EXPECT_GT(report["repeated"].get<int>(), 0);
}

TEST(ServerOverVeth, aClientThatVanishesIsLostAndTheOthersFinish) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    ASSERT_TRUE(lan.ok);
    Served run(2000000);
    int serveStatus = -1, simulateStatus = -1;
    nlohmann::json report;
    run.go(lan, 4, "--lost-after 2", "--vanish 1", serveStatus, simulateStatus, report);
    EXPECT_EQ(simulateStatus, 0);
    EXPECT_EQ(serveStatus, 1); // not every machine finished
    ASSERT_FALSE(report.is_discarded());
    EXPECT_EQ(report["done"], 3);
    EXPECT_EQ(report["machines"][1]["result"], "lost");
}
