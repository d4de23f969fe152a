// The server and the simulator over a veth pair between two network namespaces of this test's
// own ("srv" names carrying the process id, removed at the end): every byte arrives, also with
// a tenth of the datagrams lost in each direction, and a vanished client is marked lost while
// the others finish; a repeated request gets the same bytes on the wire; signals drain and
// reload; a second server on the segment is noticed.
#include "testbed/net_namespace.h"
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

void sleepSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// The served folder: the samples, and a script of `bigBytes` random bytes.
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
    nlohmann::json json(const std::string& name) {
        return nlohmann::json::parse(fileContents(folder / name), nullptr, false);
    }
    std::string serve() { return "serve " + dir + " --table none "; }
    std::string report() { return "--report " + (folder / "report.json") + " "; }
    std::string log(const std::string& name) { return "--log " + (folder / name) + " "; }
    std::string text(const std::string& name) { return fileContents(folder / name); }
    // Waits until the server's log holds `count` events of the kind; false after `seconds`.
    bool logged(const std::string& name, const std::string& event, size_t count, int seconds) {
        const std::string line = "\"event\":\"" + event + "\"";
        for (int tick = 0; tick < seconds * 20; ++tick) {
            std::string log = text(name);
            size_t seen = 0;
            for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
                ++seen;
            if (seen >= count)
                return true;
            sleepSeconds(0.05);
        }
        return false;
    }
    std::string simulate(int machines) {
        return "simulate " + std::to_string(machines) + " --dir " + dir + " --quiet ";
    }
};

// The server or the simulator in `space`: `words` are its arguments, split at spaces.
struct Tool : ChildCommand {
    Tool(const NetNamespace& space, const std::string& words, const std::string& out)
        : ChildCommand(arguments(space, words), out) {}
    static std::vector<std::string> arguments(const NetNamespace& space, const std::string& words) {
        std::vector<std::string> args = {"ip", "netns", "exec", space.name(), binary};
        std::istringstream in(words);
        for (std::string word; in >> word;)
            args.push_back(word);
        return args;
    }
};

class ServerOverVeth : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        a = std::make_unique<NetNamespace>("srva");
        b = std::make_unique<NetNamespace>("srvb");
        ASSERT_TRUE(a->valid() && b->valid());
        ASSERT_TRUE(addVethPair(*a, vethName("a"), *b, vethName("b")));
    }
    // The server in `a` expecting `machines`, the simulator in `b` until done.
    struct Outcome {
        int serve, simulate;
        nlohmann::json report;
    };
    Outcome go(Served& run, int machines, const std::string& serveExtra = "",
               const std::string& simulateExtra = "") {
        Tool server(*a,
                    run.serve() + run.report() + "--expect " + std::to_string(machines) +
                        " --exit-when-done " + serveExtra,
                    run.folder / "serve.out");
        sleepSeconds(0.5);
        Tool simulator(*b,
                       run.simulate(machines) + "--timeout 120 --report " +
                           (run.folder / "simulate.json") + " " + simulateExtra,
                       run.folder / "simulate.out");
        int simulated = simulator.wait(130);
        return {server.wait(10), simulated, run.json("report.json")};
    }

    std::unique_ptr<NetNamespace> a, b;
};

// A broadcast socket on port 5000 of `interface`, opened inside the namespace.
int protocolSocketIn(const NetNamespace& space, const std::string& interface) {
    EnterNamespace inside(space);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(), socklen_t(interface.size() + 1));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5000);
    if (!inside.entered() || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
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

TEST_F(ServerOverVeth, oneEightAndManyClientsReceiveEveryByte) {
    for (int clients : {1, 8, 256}) {
        Served run(clients > 8 ? 20000 : 1000000);
        auto [serveStatus, simulateStatus, report] = go(run, clients);
        EXPECT_EQ(simulateStatus, 0) << clients;
        EXPECT_EQ(serveStatus, 0) << clients;
        ASSERT_FALSE(report.is_discarded());
        EXPECT_EQ(report["done"], clients);
        // Every machine got the same bytes of every file.
        std::string digest = report["machines"][0]["files"].back()["sha256"];
        for (auto& machine : report["machines"])
            EXPECT_EQ(machine["files"].back()["sha256"], digest);
        // No client waited long for any reply: nothing was lost in a queue.
        nlohmann::json simulated = run.json("simulate.json");
        ASSERT_FALSE(simulated.is_discarded());
        EXPECT_LT(simulated["longest_wait"].get<double>(), 1.0) << clients;
    }
}

TEST_F(ServerOverVeth, aTenthOfTheDatagramsLostBothWays) {
    ASSERT_TRUE(b->run("nft add table inet srvloss"));
    for (std::string hook : {"input", "output"}) {
        ASSERT_TRUE(b->run("nft 'add chain inet srvloss " + hook + " { type filter hook " + hook +
                           " priority 0; }'"));
        ASSERT_TRUE(b->run("nft add rule inet srvloss " + hook +
                           " udp dport 5000 numgen random mod 10 0 drop"));
    }
    Served run(300000);
    auto [serveStatus, simulateStatus, report] = go(run, 8);
    EXPECT_EQ(simulateStatus, 0);
    EXPECT_EQ(serveStatus, 0);
    ASSERT_FALSE(report.is_discarded());
    EXPECT_EQ(report["done"], 8);
    EXPECT_GT(report["repeated"].get<int>(), 0);
}

TEST_F(ServerOverVeth, aClientThatVanishesIsLostAndTheOthersFinish) {
    Served run(2000000);
    auto [serveStatus, simulateStatus, report] = go(run, 4, "--lost-after 2", "--vanish 1");
    EXPECT_EQ(simulateStatus, 0);
    EXPECT_EQ(serveStatus, 1); // not every machine finished
    ASSERT_FALSE(report.is_discarded());
    EXPECT_EQ(report["done"], 3);
    EXPECT_EQ(report["machines"][1]["result"], "lost");
}

TEST_F(ServerOverVeth, aRepeatedRequestGetsTheVeryBytesOfTheFirstReplyAgain) {
    Served run(10000);
    Tool server(*a, run.serve(), run.folder / "serve.out");
    sleepSeconds(0.5);
    int fd = protocolSocketIn(*b, vethName("b"));
    ASSERT_GE(fd, 0);
    const unsigned char nobody[6] = {};
    std::string release = std::string("DRVR\n6.1.0\n") + '\0';
    // The offer, asked for until the server (which may still be starting) answers, then
    // once more as a client that missed it does.
    std::string offer;
    for (int attempt = 0; attempt < 20 && offer.empty(); ++attempt) {
        send(fd, nobody, 1, 0, release);
        offer = receive(fd, 500);
    }
    for (std::string late = offer; !late.empty();) // a late answer to an earlier attempt
        late = receive(fd, 200);
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
}

TEST_F(ServerOverVeth, aDrainingServerOffersNothingNewLetsTransfersFinishAndEndsAtASecondSignal) {
    Served run(1000000);
    {
        Tool server(*a, run.serve() + run.report() + run.log("serve.log"),
                    run.folder / "serve.out");
        sleepSeconds(0.5);
        // Four machines are offered, then spend two seconds on their disks.
        Tool first(*b, run.simulate(4) + "--timeout 60 --prepare-ms 2000",
                   run.folder / "first.out");
        ASSERT_TRUE(run.logged("serve.log", "preparing", 4, 10)) << run.text("serve.log");
        server.signal(SIGTERM);
        sleepSeconds(0.2);
        EXPECT_NE(Tool(*b, run.simulate(2) + "--timeout 3 --mac-base 100", "/dev/null").wait(10), 0)
            << "a machine that came after the signal was served";
        EXPECT_EQ(server.wait(20), 0) << fileContents(run.folder / "serve.out");
        EXPECT_EQ(first.wait(5), 0) << fileContents(run.folder / "first.out");
        nlohmann::json report = run.json("report.json");
        ASSERT_FALSE(report.is_discarded());
        EXPECT_EQ(report["done"], 4);
        EXPECT_EQ(report["machines"].size(), 4u);
    }
    // A second signal does not wait for the machines still preparing their disks.
    Tool server(*a, run.serve() + run.log("serve2.log"), run.folder / "serve2.out");
    sleepSeconds(0.5);
    Tool slow(*b, run.simulate(2) + "--timeout 15 --prepare-ms 10000", "/dev/null");
    ASSERT_TRUE(run.logged("serve2.log", "preparing", 2, 10)) << run.text("serve2.log");
    server.signal(SIGTERM);
    sleepSeconds(0.3);
    EXPECT_LT(server.wait(0.05), 0) << "ended while machines were preparing";
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(1.0), 1) << fileContents(run.folder / "serve2.out");
}

TEST_F(ServerOverVeth, afterAReloadOfferedMachinesFinishOnTheOldContentAndNewOnesGetTheNew) {
    Served run(500000);
    Tool server(*a,
                run.serve() + run.report() + run.log("serve.log") + "--expect 5 --exit-when-done",
                run.folder / "serve.out");
    sleepSeconds(0.5);
    Tool old(*b, run.simulate(3) + "--timeout 60 --prepare-ms 2000", run.folder / "old.out");
    ASSERT_TRUE(run.logged("serve.log", "preparing", 3, 10)) << run.text("serve.log");
    // The new script replaces the old one the way an operator's copy does: a new file.
    ASSERT_EQ(sh("head -c 300000 /dev/urandom > " + run.dir + "/scripts/big.new && mv " + run.dir +
                 "/scripts/big.new " + run.dir + "/scripts/big.scr"),
              0);
    server.signal(SIGHUP);
    // The machines offered before the reload finish first: they hold the namespace's port.
    EXPECT_EQ(old.wait(25), 0) << fileContents(run.folder / "old.out");
    Tool fresh(*b, run.simulate(2) + "--timeout 60 --mac-base 50", run.folder / "new.out");
    EXPECT_EQ(fresh.wait(70), 0) << fileContents(run.folder / "new.out");
    EXPECT_EQ(server.wait(30), 0) << fileContents(run.folder / "serve.out");
    nlohmann::json report = run.json("report.json");
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

TEST_F(ServerOverVeth, twoServersOnOneSegmentEachWarnOfTheOther) {
    // a: first server, b: second server; a bridge in a hub namespace joins them to the clients.
    NetNamespace hub("srvh"), clients("srvc");
    ASSERT_TRUE(hub.valid() && clients.valid() && a->ip("link del " + vethName("a")));
    ASSERT_TRUE(hub.ip("link add name br0 type bridge") && hub.ip("link set br0 up"));
    for (auto [space, tag] : {std::pair{a.get(), "a"}, {b.get(), "b"}, {&clients, "c"}})
        ASSERT_TRUE(addVethPair(*space, vethName(tag), hub, vethName(std::string("h") + tag)) &&
                    hub.ip("link set " + vethName(std::string("h") + tag) + " master br0"));
    Served run(20000);
    Tool first(*a, run.serve(), run.folder / "first.out");
    Tool second(*b, run.serve() + "--interface " + vethName("b"), run.folder / "second.out");
    sleepSeconds(0.5);
    Tool(clients, run.simulate(1) + "--timeout 5", "/dev/null").wait(10);
    for (Tool* server : {&first, &second}) {
        server->signal(SIGTERM);
        sleepSeconds(0.3); // signals of one kind pending at once count as one
        server->signal(SIGTERM);
        EXPECT_GE(server->wait(5), 0);
    }
    for (const char* out : {"first.out", "second.out"})
        EXPECT_TRUE(contains(fileContents(run.folder / out),
                             "WARNING: another install server answers on this network"))
            << fileContents(run.folder / out);
}
