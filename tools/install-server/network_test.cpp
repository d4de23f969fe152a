// The server and the simulator over a veth pair between two network namespaces of this test's
// own ("srv" names carrying the process id, removed at the end): every byte arrives, also with
// a tenth of the datagrams lost in each direction, and a vanished client is marked lost while
// the others finish; a repeated request gets the same bytes on the wire; signals drain and
// reload; a second server on the segment is noticed.
#include "testbed/support/child_command.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::string binary = INSTALLER_BINARY_DIR "/tools/install-server/install-server";
const std::string samples = INSTALLER_BINARY_DIR "/samples/";

int sh(const std::string& command) {
    return WEXITSTATUS(std::system(command.c_str()));
}

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
           samples + "routing.rpx " + dir + "/drivers/default.rpx && cp " + samples +
           "system.rpx " + samples + "routing.rpx " + samples + "extras.rpx " + dir +
           "/packages/ && head -c " + std::to_string(bigBytes) + " /dev/urandom > " + dir +
           "/scripts/big.scr");
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
                            "--report " + (folder / "simulate.json") + " " + simulateExtra + " > " +
                            (folder / "simulate.out") + " 2>&1");
        for (int i = 0; i < 100 && access((folder / "serve.rc").c_str(), F_OK) != 0; ++i)
            usleep(100000);
        std::ifstream(folder / "serve.rc") >> serveStatus;
        std::ifstream in(folder / "report.json");
        report = nlohmann::json::parse(in, nullptr, false);
    }
};

// The server as a child process in a namespace, so that the test can signal it and time its end.
struct ServerProcess : ChildCommand {
    ServerProcess(const std::string& space, const std::string& dir, const std::string& out,
                  std::vector<std::string> extra)
        : ChildCommand(serveArguments(space, dir, extra), out) {}
    static std::vector<std::string> serveArguments(const std::string& space, const std::string& dir,
                                                   std::vector<std::string> extra) {
        std::vector<std::string> args = {"ip",    "netns", "exec",    space, binary,
                                         "serve", dir,     "--table", "none"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

void sleepSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// A broadcast socket on port 5000 of `interface`, opened inside the namespace by a thread of
// its own, so that the test itself stays where it is.
int protocolSocketIn(const std::string& space, const std::string& interface) {
    int fd = -1;
    std::thread([&] {
        int ns = ::open(("/run/netns/" + space).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            return;
        ::close(ns);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                   socklen_t(interface.size() + 1));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(5000);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }).join();
    return fd;
}

const unsigned char clientMac[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0x77};

void send(int fd, const unsigned char* destination, uint16_t sequence, uint16_t ack,
          const std::string& payload) {
    std::string datagram(20, '\0');
    std::memcpy(datagram.data(), clientMac, 6);
    std::memcpy(datagram.data() + 6, destination, 6);
    auto put = [&](size_t at, uint16_t v) {
        datagram[at] = char(v & 0xff);
        datagram[at + 1] = char(v >> 8);
    };
    put(14, uint16_t(payload.size()));
    put(16, sequence);
    put(18, ack);
    datagram += payload;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// The next datagram not sent by this client, or "" after `millis` of nothing.
std::string receive(int fd, int millis = 1000) {
    char buffer[5000];
    for (;;) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, millis) != 1)
            return "";
        long size = recv(fd, buffer, sizeof buffer, 0);
        if (size >= 6 && std::memcmp(buffer, clientMac, 6) != 0)
            return std::string(buffer, size_t(size));
    }
}

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
        // No client waited long for any reply: nothing was lost in a queue.
        nlohmann::json simulated =
            nlohmann::json::parse(std::ifstream(run.folder / "simulate.json"), nullptr, false);
        ASSERT_FALSE(simulated.is_discarded());
        EXPECT_LT(simulated["longest_wait"].get<double>(), 1.0) << clients;
    }
}

TEST(ServerOverVeth, aTenthOfTheDatagramsLostBothWays) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    ASSERT_TRUE(lan.ok);
    ASSERT_EQ(
        sh("ip netns exec " + lan.b + " nft add table inet srvloss && ip netns exec " + lan.b +
           " nft 'add chain inet srvloss in { type filter hook input priority 0; }' && "
           "ip netns exec " +
           lan.b +
           " nft 'add chain inet srvloss out { type filter hook "
           "output priority 0; }' && ip netns exec " +
           lan.b +
           " nft add rule inet srvloss in udp dport 5000 numgen random mod 10 0 drop && "
           "ip netns exec " +
           lan.b + " nft add rule inet srvloss out udp dport 5000 numgen random mod 10 0 drop"),
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

TEST(ServerOverVeth, aRepeatedRequestGetsTheVeryBytesOfTheFirstReplyAgain) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    ASSERT_TRUE(lan.ok);
    Served run(10000);
    ServerProcess server(lan.a, run.dir, run.folder / "serve.out", {});
    sleepSeconds(0.5);
    int fd = protocolSocketIn(lan.b, lan.b + "v");
    ASSERT_GE(fd, 0);
    const unsigned char nobody[6] = {};
    std::string release = std::string("DRVR\n6.1.0\n") + '\0';
    // The offer, asked for twice as a client that missed it does.
    send(fd, nobody, 1, 0, release);
    std::string offer = receive(fd);
    ASSERT_GT(offer.size(), 20u) << fileContents(run.folder / "serve.out");
    EXPECT_EQ(offer.substr(20, 5), "OFDR\n");
    EXPECT_EQ(offer.substr(6, 6), std::string(reinterpret_cast<const char*>(clientMac), 6));
    send(fd, nobody, 1, 0, release);
    EXPECT_EQ(receive(fd), offer);
    auto peer = reinterpret_cast<const unsigned char*>(offer.data());
    // The announcement and the first block, each asked for twice. The request after the
    // broadcast carries its number again.
    std::string replies[2];
    for (uint16_t n : {1, 2}) {
        send(fd, peer, n, n, "RETR");
        std::string& first = replies[n - 1];
        first = receive(fd);
        ASSERT_GT(first.size(), 20u) << n;
        EXPECT_EQ(uint8_t(first[16]), n + 1);
        EXPECT_EQ(uint8_t(first[18]), n);
        send(fd, peer, n, n, "RETR");
        EXPECT_EQ(receive(fd), first) << n;
    }
    EXPECT_EQ(replies[0].substr(20, 5), "FILE\n");
    EXPECT_EQ(replies[1].substr(20),
              fileContents(run.dir + "/drivers/default.rpx").substr(0, 4076));
    // A request that skips one, or acknowledges a reply never sent, gets nothing.
    send(fd, peer, 4, 3, "RETR");
    send(fd, peer, 3, 9, "RETR");
    EXPECT_EQ(receive(fd, 300), "");
    ::close(fd);
    server.signal(SIGTERM);
    sleepSeconds(0.3); // signals of one kind pending at once count as one
    server.signal(SIGTERM);
    EXPECT_GE(server.wait(5), 0);
}

TEST(ServerOverVeth, aDrainingServerOffersNothingNewLetsTransfersFinishAndEndsAtASecondSignal) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    ASSERT_TRUE(lan.ok);
    Served run(1000000);
    std::string simulate = "ip netns exec " + lan.b + " " + binary + " simulate ";
    {
        ServerProcess server(lan.a, run.dir, run.folder / "serve.out",
                             {"--report", run.folder / "report.json"});
        sleepSeconds(0.5);
        // Four machines are offered, then spend two seconds on their disks.
        sh("(" + simulate + "4 --dir " + run.dir + " --quiet --timeout 60 --prepare-ms 2000 > " +
           (run.folder / "first.out") + " 2>&1; echo $? > " + (run.folder / "first.rc") + ") &");
        sleepSeconds(1.0);
        server.signal(SIGTERM);
        sleepSeconds(0.2);
        EXPECT_NE(sh(simulate + "2 --dir " + run.dir + " --quiet --timeout 3 --mac-base 100 > " +
                     (run.folder / "late.out") + " 2>&1"),
                  0)
            << "a machine that came after the signal was served";
        EXPECT_EQ(server.wait(20), 0) << fileContents(run.folder / "serve.out");
        for (int i = 0; i < 50 && access((run.folder / "first.rc").c_str(), F_OK) != 0; ++i)
            usleep(100000);
        EXPECT_EQ(fileContents(run.folder / "first.rc"), "0\n")
            << fileContents(run.folder / "first.out");
        nlohmann::json report =
            nlohmann::json::parse(fileContents(run.folder / "report.json"), nullptr, false);
        ASSERT_FALSE(report.is_discarded());
        EXPECT_EQ(report["done"], 4);
        EXPECT_EQ(report["machines"].size(), 4u);
    }
    // A second signal does not wait for the machines still preparing their disks.
    ServerProcess server(lan.a, run.dir, run.folder / "serve2.out", {});
    sleepSeconds(0.5);
    sh("(" + simulate + "2 --dir " + run.dir + " --quiet --timeout 15 --prepare-ms 10000 > " +
       (run.folder / "slow.out") + " 2>&1) &");
    sleepSeconds(1.0);
    server.signal(SIGTERM);
    sleepSeconds(0.3);
    EXPECT_LT(server.wait(0.05), 0) << "ended while machines were preparing";
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(1.0), 1) << fileContents(run.folder / "serve2.out");
    sh("ip netns pids " + lan.b + " | xargs -r kill");
}

TEST(ServerOverVeth, afterAReloadOfferedMachinesFinishOnTheOldContentAndNewOnesGetTheNew) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan;
    ASSERT_TRUE(lan.ok);
    Served run(500000);
    ServerProcess server(
        lan.a, run.dir, run.folder / "serve.out",
        {"--expect", "5", "--exit-when-done", "--report", run.folder / "report.json"});
    sleepSeconds(0.5);
    std::string simulate = "ip netns exec " + lan.b + " " + binary + " simulate ";
    sh("(" + simulate + "3 --dir " + run.dir + " --quiet --timeout 60 --prepare-ms 2000 > " +
       (run.folder / "old.out") + " 2>&1; echo $? > " + (run.folder / "old.rc") + ") &");
    sleepSeconds(1.0);
    // The new script replaces the old one the way an operator's copy does: a new file.
    ASSERT_EQ(sh("head -c 300000 /dev/urandom > " + run.dir + "/scripts/big.new && mv " + run.dir +
                 "/scripts/big.new " + run.dir + "/scripts/big.scr"),
              0);
    server.signal(SIGHUP);
    // The machines offered before the reload finish first: they hold the namespace's port.
    for (int i = 0; i < 200 && access((run.folder / "old.rc").c_str(), F_OK) != 0; ++i)
        usleep(100000);
    EXPECT_EQ(sh(simulate + "2 --dir " + run.dir + " --quiet --timeout 60 --mac-base 50 > " +
                 (run.folder / "new.out") + " 2>&1"),
              0)
        << fileContents(run.folder / "new.out");
    EXPECT_EQ(server.wait(30), 0) << fileContents(run.folder / "serve.out");
    for (int i = 0; i < 50 && access((run.folder / "old.rc").c_str(), F_OK) != 0; ++i)
        usleep(100000);
    EXPECT_EQ(fileContents(run.folder / "old.rc"), "0\n") << fileContents(run.folder / "old.out");
    nlohmann::json report =
        nlohmann::json::parse(fileContents(run.folder / "report.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    ASSERT_EQ(report["machines"].size(), 5u);
    std::map<uint64_t, int> sizes; // of big.scr, by machine
    for (auto& machine : report["machines"]) {
        EXPECT_EQ(machine["result"], "done");
        for (auto& file : machine["files"])
            if (file["name"] == "big.scr")
                ++sizes[file["bytes"].get<uint64_t>()];
    }
    EXPECT_EQ(sizes[500000], 3);
    EXPECT_EQ(sizes[300000], 2);
}

TEST(ServerOverVeth, twoServersOnOneSegmentEachWarnOfTheOther) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
    Lan lan; // a: first server, b: second server; a hub namespace joins them to the clients
    ASSERT_TRUE(lan.ok);
    std::string hub = "srvh" + std::to_string(getpid()),
                clients = "srvc" + std::to_string(getpid());
    bool ok = sh("ip -n " + lan.a + " link del " + lan.a + "v && ip netns add " + hub +
                 " && ip netns add " + clients + " && ip -n " + hub +
                 " link add name br0 type bridge && ip -n " + hub + " link set br0 up") == 0;
    for (const std::string& space : {lan.a, lan.b, clients})
        ok = ok && sh("ip link add " + space + "v netns " + space + " type veth peer name h" +
                      space + " netns " + hub + " && ip -n " + hub + " link set h" + space +
                      " master br0 up && ip -n " + space + " link set " + space + "v up") == 0;
    Served run(20000);
    if (ok) {
        ServerProcess first(lan.a, run.dir, run.folder / "first.out", {});
        ServerProcess second(lan.b, run.dir, run.folder / "second.out",
                             {"--interface", lan.b + "v"});
        sleepSeconds(0.5);
        sh("ip netns exec " + clients + " " + binary + " simulate 1 --dir " + run.dir +
           " --quiet --timeout 5 > /dev/null 2>&1");
        for (ServerProcess* server : {&first, &second}) {
            server->signal(SIGTERM);
            sleepSeconds(0.3);
            server->signal(SIGTERM);
            EXPECT_GE(server->wait(5), 0);
        }
        EXPECT_NE(fileContents(run.folder / "first.out")
                      .find("WARNING: another install server answers on this network"),
                  std::string::npos)
            << fileContents(run.folder / "first.out");
        EXPECT_NE(fileContents(run.folder / "second.out")
                      .find("WARNING: another install server answers on this network"),
                  std::string::npos)
            << fileContents(run.folder / "second.out");
    }
    sh("ip netns del " + hub + " 2>/dev/null; ip netns del " + clients + " 2>/dev/null");
    EXPECT_TRUE(ok);
}
