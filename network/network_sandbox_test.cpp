// The boot image's installer as process 1 of the sandbox in network mode, talking over a veth
// pair to the scriptable test peer in a second network namespace, onto a loop disk.
#include "network/protocol_text.h"
#include "package/format/writer.h"
#include "testbed/ext_files.h"
#include "testbed/net_namespace.h"
#include "testbed/net_peer.h"
#include "testbed/sandbox.h"
#include "testbed/support/command_output.h"
#include "testbed/support/damaged_package.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/support/transcript_parts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

using namespace installer;

namespace {

const std::string buildDir = INSTALLER_BINARY_DIR;

std::string sample(const std::string& name) {
    return fileContents(buildDir + "/samples/" + name);
}

// A signed package named `name` whose tree `fill` makes ("TREE" stands for its folder).
std::string packageWith(const std::string& folder, const std::string& name, std::string fill) {
    std::string tree = folder + "/tree-" + name;
    std::string manifest = folder + "/manifest-" + name;
    std::string output = folder + "/" + name + ".rpx";
    std::ofstream(manifest) << "name: " << name
                            << "\nversion: 1.0\nbuild-time: 1700000000\n"
                               "entry-time: 1700000000\nowner: 0 0\n";
    for (size_t at; (at = fill.find("TREE")) != std::string::npos;)
        fill.replace(at, 4, tree);
    std::string rpx = buildDir + "/tools/rpx/rpx";
    std::string command = "mkdir -p " + tree + " && " + fill + " && " + rpx + " build --manifest " +
                          manifest + " --tree " + tree + " --output " + output + " && " + rpx +
                          " sign --key " + INSTALLER_SOURCE_DIR "/keys/dev.sec " + output +
                          " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return output;
}

// The bytes of such a package, built once per test process.
const std::string& builtOnce(const std::string& name, const std::string& fill) {
    static ScratchFolder folder("net-packages");
    static std::map<std::string, std::string> built;
    if (!built.count(name))
        built[name] = fileContents(packageWith(folder.path, name, fill));
    return built[name];
}
// A small driver package.
const std::string& driverPackage() {
    return builtOnce("drivers",
                     "mkdir -p TREE/lib/modules && echo module > TREE/lib/modules/storage.ko");
}

PeerFile file(const std::string& name, const std::string& data) {
    return {name, data, {}, {}, {}};
}
PeerFile sampleFile(const std::string& name) {
    return file(name, sample(name));
}

size_t repeats(const TestPeer& peer) {
    size_t count = 0;
    for (const PeerRequest& r : peer.requests())
        count += r.repeat;
    return count;
}

// A memory cgroup (version 1) of the test's own with a hard limit; processes put into it take
// their children along. Removed when the object goes, once whatever ran in it has ended.
class MemoryLimit {
public:
    explicit MemoryLimit(uint64_t bytes)
        : path_("/sys/fs/cgroup/memory/netmem" + std::to_string(getpid())),
          valid_(mkdir(path_.c_str(), 0755) == 0 && set("memory.limit_in_bytes", bytes)) {}
    ~MemoryLimit() {
        for (int n = 0; n < 100 && rmdir(path_.c_str()) != 0 && errno == EBUSY; ++n)
            usleep(100000);
    }
    bool valid() const { return valid_; }
    bool add(pid_t pid) { return set("cgroup.procs", static_cast<uint64_t>(pid)); }
    uint64_t value(const std::string& file) const {
        uint64_t number = 0;
        std::ifstream(path_ + "/" + file) >> number;
        return number;
    }

private:
    bool set(const std::string& file, uint64_t number) {
        return static_cast<bool>(std::ofstream(path_ + "/" + file) << number << std::flush);
    }
    std::string path_;
    bool valid_;
};

class NetworkInstall : public testing::Test {
protected:
    void SetUp() override {
        if (!canMakeNetNamespaces())
            GTEST_SKIP() << "needs root and ip";
        ASSERT_TRUE(leaveHostNetwork());
        installerSide = std::make_unique<NetNamespace>("i");
        serverSide = std::make_unique<NetNamespace>("s");
        ASSERT_TRUE(installerSide->valid() && serverSide->valid());
        ASSERT_TRUE(addVethPair(*installerSide, vethName("i"), *serverSide, vethName("s")));
        ASSERT_FALSE(driverPackage().empty());
        disk = scratch.image("hda.img", 64 << 20);
    }
    void TearDown() override {
        sandbox.reset();
        peer.reset();
    }

    PeerScript script() {
        PeerScript s;
        s.driver.data = driverPackage();
        return s;
    }
    void serve(PeerScript s) { serveOn(peer, vethName("s"), std::move(s)); }
    void serveOn(std::unique_ptr<TestPeer>& server, const std::string& interface, PeerScript s) {
        EnterNamespace inside(*serverSide);
        ASSERT_TRUE(inside.entered());
        server = std::make_unique<TestPeer>(interface, std::move(s));
        ASSERT_TRUE(server->valid());
        server->start();
    }
    // A switch in the server's namespace: the installer's cable and the cables of two servers,
    // on "a1" and "b1", on one bridge, so that each server hears everything the other says.
    void twoServersOnOneLink() {
        ASSERT_TRUE(addVethPair(*serverSide, vethName("a0"), *serverSide, vethName("a1")));
        ASSERT_TRUE(addVethPair(*serverSide, vethName("b0"), *serverSide, vethName("b1")));
        std::string bridge = vethName("br");
        ASSERT_TRUE(serverSide->ip("link add " + bridge + " type bridge"));
        for (const char* port : {"s", "a0", "b0"})
            ASSERT_TRUE(serverSide->ip("link set " + vethName(port) + " master " + bridge));
        ASSERT_TRUE(serverSide->ip("link set " + bridge + " up"));
    }
    // Sends a second copy of each datagram leaving `interface` of `side` with probability
    // `percent` / 100.
    void duplicateAtRandom(const NetNamespace& side, const std::string& interface, int percent) {
        nft(side, "ip netdup", "output", "oifname " + interface, percent,
            "dup to 255.255.255.255 device " + interface);
    }
    // One rule in a table of its own on the hook, for port 5000 with probability `percent` / 100.
    void nft(const NetNamespace& side, const std::string& table, const std::string& hook,
             const std::string& match, int percent, const std::string& action) {
        std::string rule = "nft add table " + table + " && nft add chain " + table + " c '{ type " +
                           "filter hook " + hook + " priority 0; }' && nft add rule " + table +
                           " c " + match + " udp dport 5000 numgen random mod 100 '<' " +
                           std::to_string(percent) + " " + action;
        ASSERT_TRUE(side.run("sh -c \"" + rule + "\""));
    }
    // Waits until `reached` is set (by a peer's hook) and then ends that peer, socket and all.
    void killWhen(const std::atomic<bool>& reached, std::unique_ptr<TestPeer>& server) {
        for (int n = 0; n < 600 && !reached; ++n)
            usleep(100000);
        ASSERT_TRUE(reached);
        server.reset();
    }
    // Paths in the run's own root, as its process 1 sees it, whose last name contains "evil"
    // or "endless"; /flash and the kernel's file systems are left out. The run's processes
    // still come and go: a name that has vanished by the time the walk looks at it is passed
    // over, any other failure is in what comes back.
    std::string namesOutsideFlash() {
        std::string root = "/proc/" + std::to_string(sandbox->hostPid()) + "/root";
        EXPECT_TRUE(std::filesystem::is_directory(root + "/bin")) << "the run has ended";
        std::string skip;
        for (const char* top : {"flash", "proc", "sys", "dev"})
            skip += (skip.empty() ? "" : " -o ") + ("-path " + root + "/") + top;
        return runCommand("find " + root + "/ \\( " + skip + " \\) -prune -o \\( -name '*evil*' " +
                          "-o -name '*endless*' \\) -print 2>&1 | grep -v 'No such file'")
            .output;
    }
    // Mount points of the run once the flow has had a moment to unmount.
    std::string mountsAfterFailure() {
        std::string mounts;
        for (int n = 0; n < 40; ++n) {
            mounts = sandbox->mountPoints();
            if (!contains(mounts, "/flash") && !contains(mounts, "/floppy"))
                break;
            usleep(50000);
        }
        return mounts;
    }
    void boot(MemoryLimit* limit = nullptr) {
        SandboxOptions options;
        options.type = "net\n";
        options.networkNamespace = installerSide->path();
        options.disks = {{"hda", disk}};
        sandbox = std::make_unique<Sandbox>(options);
        ASSERT_TRUE(sandbox->start()) << sandbox->error();
        // The run is still on its first steps: what process 1 and the children it already has
        // fork from now on is inside too.
        if (limit) {
            ASSERT_TRUE(limit->add(sandbox->hostPid()));
            for (pid_t child : sandbox->childrenOfProcessOne())
                ASSERT_TRUE(limit->add(child));
        }
    }
    // Drops each datagram in both directions with probability `percent` / 100, on arrival: a
    // drop on the way out would make the sender's send fail, which no lossy wire does.
    void loseAtRandom(int percent) {
        nft(*installerSide, "inet netloss", "input", "", percent, "drop");
        nft(*serverSide, "inet netloss", "input", "", percent, "drop");
    }
    std::string diskFile(const std::string& path) {
        uint64_t offset = 0, size = 0;
        std::string contents, error;
        EXPECT_TRUE(partitionExtent(disk, 1, offset, size));
        if (!readExtFile(disk, offset, path, contents, &error))
            return "<missing: " + error + ">";
        return contents;
    }
    bool installedAndEnded(double seconds = 120) {
        bool ended = sandbox->waitFor("Software installed.\nPress ENTER to reboot\n", seconds) &&
                     sandbox->wait(30);
        return ended && contains(sandbox->transcript(), "Rebooting...");
    }
    bool missing(const std::string& path) { return contains(diskFile(path), "<missing"); }
    bool installed(const std::string& package) {
        return !missing("/var/pdb/" + package + "/version");
    }
    // The run stops at the farewell with `message` and ends on ENTER.
    bool endsWith(const std::string& message, double seconds = 60) {
        return sandbox->waitFor(message + "Press ENTER to reboot\n", seconds);
    }
    void pressEnter() {
        sandbox->send("\r");
        EXPECT_TRUE(sandbox->wait(20));
    }
    // Ends the run and its server, so that the next case starts afresh.
    void endRun() {
        pressEnter();
        sandbox.reset();
        peer.reset();
    }

    ScratchFiles scratch{"net-install"};
    std::string disk;
    std::unique_ptr<NetNamespace> installerSide, serverSide;
    std::unique_ptr<TestPeer> peer;
    std::unique_ptr<Sandbox> sandbox;
};

} // namespace

// Damaged and cut short packages are reported broken, and the files after them arrive.
TEST_F(NetworkInstall, DriversDiskPackagesAndScriptsArriveBrokenOnesAreSkippedAndTermEnds) {
    PeerScript s = script();
    std::string setup = "set hostname lab\n", dhcp = sample("dhcp.rpx");
    s.files = {
        sampleFile("system.rpx"),
        file("ppp.rpx", withDamagedEnd(sample("ppp.rpx"))),
        file("dhcp.rpx", dhcp.substr(0, dhcp.size() - 40)),
        {"a.scr", "ignored", {}, "FILE\na.scr\n0\n", {}},
        sampleFile("routing.rpx"),
        file("setup.scr", setup),
        {"blocks.scr", std::string(9000, 'b'), {}, "FILE\nblocks.scr\n5\n", {4076, 4076, 10}}};
    // Every reply twice, each after a datagram from a foreign station and one misaddressed.
    s.tamper = [](PeerReply& reply) {
        if (reply.phase != "install" || reply.request == "DSCV")
            return;
        reply.copies = 2;
        Packet foreign = reply.packet;
        foreign.setSource({0x02, 0x55, 0x55, 0x55, 0x55, 0x55});
        Packet misaddressed = reply.packet;
        misaddressed.setDestination({0x02, 0x66, 0x66, 0x66, 0x66, 0x66});
        reply.before = {{foreign, reply.size}, {misaddressed, reply.size}};
    };
    serve(s);
    boot();
    ASSERT_TRUE(installedAndEnded()) << sandbox->transcript();
    std::string console = sandbox->transcript();
    expectParts(
        console,
        {"Welcome to Kestrova Router Software remote installation\n",
         "\nmac-address: ", "\nWaiting for drivers...\nRetrieving drivers...\nLoading drivers\n",
         "disk label: Kestrova\n\n", "Found server at " + formatHardwareAddress(peer->address()),
         "ERROR: installation of ppp-3.1 failed: broken package\n",
         "ERROR: installation of dhcp-3.1 failed: broken package\n"},
        {"FATAL ERROR"});
    EXPECT_EQ(peer->count("TERM"), 0u);
    EXPECT_GE(peer->count("WTRM"), 1u);
    // The scripts: an empty one leaves nothing under /flash; 4076 + 4076 + 10 bytes whatever
    // FILE said.
    EXPECT_EQ(diskFile("/setup.scr"), setup);
    EXPECT_EQ(diskFile("/blocks.scr").size(), 8162u);
    EXPECT_TRUE(missing("/a.scr"));
    EXPECT_EQ(diskFile("/CDINSTALL"), "");
    EXPECT_TRUE(installed("system") && installed("routing"));
    EXPECT_TRUE(!installed("ppp") && !installed("dhcp"));
    // The driver package went into the running system, not onto the disk.
    EXPECT_TRUE(missing("/lib/modules/storage.ko"));
}

TEST(NetworkInstallWithoutCard, OnlyLoopbackEndsInNoNetworkCardFound) {
    SandboxOptions options;
    options.type = "net\n"; // a fresh network namespace: loopback only
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("\nFATAL ERROR: no network card found\nPress ENTER to reboot\n"))
        << sandbox.transcript();
    EXPECT_FALSE(contains(sandbox.transcript(), "mac-address"));
    sandbox.send("\r");
    EXPECT_TRUE(sandbox.wait(20));
}

TEST_F(NetworkInstall,
       OffersThatBreakTheRulesAreIgnoredWhileDiscoveryRepeatsAndStartGoesUnanswered) {
    PeerScript s = script();
    s.answerStart = false;
    int offers = 0;
    // To nobody; a name one byte too long; then a good one whose "keep " is not "keep".
    s.tamper = [&offers](PeerReply& reply) {
        if (reply.request != "DSCV")
            return;
        ++offers;
        std::string text = offers == 2 ? "OFFR\n" + std::string(513, 'x') + "\n"
                                       : "OFFR\n" + std::string(512, 'x') + "\nkeep \n";
        NetPeer numbering;
        numbering.ownAddress = reply.packet.source();
        numbering.peerAddress = reply.packet.destination();
        reply.size = composeDatagram(numbering, reply.packet, text);
        if (offers == 1)
            reply.packet.setDestination({});
    };
    serve(s);
    boot();
    ASSERT_TRUE(endsWith("\nFATAL ERROR: server refused to install\n")) << sandbox->transcript();
    EXPECT_EQ(offers, 3);
    EXPECT_EQ(peer->count("DSCV"), 3u);
    EXPECT_EQ(peer->count("YACK"), 1u);
    std::vector<int64_t> starts;
    for (const PeerRequest& r : peer->requests())
        if (r.word == "STRT")
            starts.push_back(r.micros);
    ASSERT_EQ(starts.size(), 5u) << "five tries";
    for (size_t n = 1; n < starts.size(); ++n) {
        EXPECT_GT(starts[n] - starts[n - 1], 900000) << n;
        // A second apart, give or take what a loaded machine adds to a wake-up.
        EXPECT_LT(starts[n] - starts[n - 1], 2500000) << n;
    }
    // The disk was prepared without carrying anything over.
    EXPECT_FALSE(contains(sandbox->transcript(), "configuration")) << sandbox->transcript();
    pressEnter();
}

TEST_F(NetworkInstall, TenPercentLossBothWaysStillGivesAByteIdenticalInstallation) {
    std::string random(300000, '\0');
    std::mt19937 generator(7);
    for (char& c : random)
        c = static_cast<char>(generator());
    PeerScript s = script();
    std::string system = sample("system.rpx");
    s.files = {file("system.rpx", system), sampleFile("routing.rpx"), file("noise.scr", random)};
    loseAtRandom(10);
    serve(s);
    boot();
    ASSERT_TRUE(installedAndEnded(getenv("NET_SHORT") ? 40 : 300)) << sandbox->transcript();
    EXPECT_GT(repeats(*peer), 0u) << "the loss rule dropped nothing";
    EXPECT_TRUE(diskFile("/noise.scr") == random);
    // The base system keeps its package image: the very bytes the server sent.
    EXPECT_TRUE(diskFile("/var/pdb/system/image") == system);
    EXPECT_TRUE(installed("routing"));
}

TEST_F(NetworkInstall, AConversationOfMoreThan65535BlocksCompletesAndTermStillEndsIt) {
    PeerScript s = script();
    std::vector<size_t> blocks(70000, 3);
    s.files = {{"many.scr", std::string(210000, 'm'), {}, {}, blocks}};
    serve(s);
    boot();
    ASSERT_TRUE(installedAndEnded(300)) << sandbox->transcript();
    EXPECT_EQ(diskFile("/many.scr").size(), 210000u);
    EXPECT_GT(peer->count("RETR"), 70000u);
    EXPECT_GE(peer->count("WTRM"), 1u);
}

TEST_F(NetworkInstall, DuplicatesLateRepliesAndASecondServerOnTheLinkChangeNothingInstalled) {
    twoServersOnOneLink();
    std::string system = sample("system.rpx");
    std::string setup(20000, 's');
    // Each server answers twice, and before every answer the answer to the previous request
    // arrives once more, late.
    auto stale = [](PeerScript& s) {
        auto previous = std::make_shared<std::pair<Packet, size_t>>();
        s.tamper = [previous](PeerReply& reply) {
            if (reply.phase != "install" || reply.request == "DSCV" || reply.repeat)
                return;
            reply.copies = 2;
            if (previous->second > 0)
                reply.before = {*previous};
            *previous = {reply.packet, reply.size};
        };
    };
    PeerScript a = script(), b = script();
    a.offer = "OFFR\nserver a\n";
    a.files = {file("system.rpx", system), file("setup.scr", setup)};
    b.offer = "OFFR\nserver b\n";
    b.files = {file("system.rpx", system), sampleFile("routing.rpx"), file("other.scr", "other\n")};
    stale(a);
    stale(b);
    std::unique_ptr<TestPeer> second;
    serveOn(peer, vethName("a1"), a);
    serveOn(second, vethName("b1"), b);
    duplicateAtRandom(*installerSide, vethName("i"), 30);
    duplicateAtRandom(*serverSide, vethName("a1"), 30);
    duplicateAtRandom(*serverSide, vethName("b1"), 30);
    boot();
    ASSERT_TRUE(installedAndEnded(180)) << sandbox->transcript();
    std::string console = sandbox->transcript();
    bool choseA = contains(console, "Found server at " + formatHardwareAddress(peer->address()));
    bool choseB = contains(console, "Found server at " + formatHardwareAddress(second->address()));
    ASSERT_NE(choseA, choseB) << console;
    TestPeer& chosen = choseA ? *peer : *second;
    TestPeer& other = choseA ? *second : *peer;
    EXPECT_GT(chosen.count("RETR"), 0u);
    // The drivers may come from either server: each phase picks the first that answers.
    size_t otherInstallRequests = 0;
    for (const PeerRequest& r : other.requests())
        otherInstallRequests += r.phase == "install" && r.word == "RETR";
    EXPECT_EQ(otherInstallRequests, 0u) << "the other server only ever heard DSCV";
    EXPECT_GT(repeats(chosen), 0u) << "no request arrived twice";
    EXPECT_FALSE(contains(console, "ERROR:")) << console;
    EXPECT_TRUE(diskFile("/var/pdb/system/image") == system);
    // Only the chosen server's list arrived.
    EXPECT_EQ(diskFile("/setup.scr") == setup, choseA);
    EXPECT_EQ(installed("routing"), !choseA);
    EXPECT_EQ(diskFile("/other.scr") == "other\n", !choseA);
    EXPECT_TRUE(missing(choseA ? "/other.scr" : "/setup.scr"));
}

TEST_F(NetworkInstall, AServerGoneInTheMiddleOfAFileOrOfTheListEndsInABadConnection) {
    // YACK is request 1 and STRT 2; the first script takes RETR 3 to 5, and RETR 6 asks for
    // the package, whose 25 data blocks RETR 7 on ask for. The server falls silent, then ends.
    ScratchFolder folder("net-noise");
    std::string noise = fileContents(
        packageWith(folder.path, "noise", "head -c 100000 /dev/urandom > TREE/noise.bin"));
    for (uint32_t last : {6u, 10u}) {
        std::atomic<bool> reached{false};
        std::atomic<int64_t> silentSince{0};
        PeerScript s = script();
        s.files = {file("first.scr", "first\n"), file("noise.rpx", noise)};
        s.tamper = [&, last](PeerReply& reply) {
            if (reply.phase == "install" && reply.request == "RETR" &&
                reply.requestNumber >= last) {
                if (!reached)
                    silentSince = nowMicros();
                reply.drop = true;
                reached = true;
            }
        };
        serve(s);
        boot();
        killWhen(reached, peer);
        // In the middle of a package its child says why it installed nothing, after the flow.
        ASSERT_TRUE(sandbox->waitFor("\nFATAL ERROR: bad network connection\n", 30))
            << last << sandbox->transcript();
        double seconds = (nowMicros() - silentSince) / 1e6;
        EXPECT_TRUE(seconds > 5.0 && seconds < 8.0) << seconds;
        ASSERT_TRUE(sandbox->waitFor("Press ENTER to reboot\n")) << sandbox->transcript();
        EXPECT_EQ(contains(sandbox->transcript(), "noise-1.0 failed: broken package"), last == 10)
            << sandbox->transcript();
        EXPECT_FALSE(contains(sandbox->transcript(), "Software installed.")) << last;
        EXPECT_FALSE(contains(mountsAfterFailure(), "/flash")) << last;
        usleep(500000);
        EXPECT_TRUE(sandbox->running()) << "waits for ENTER";
        endRun();
        EXPECT_EQ(diskFile("/first.scr"), "first\n") << last;
        EXPECT_TRUE(!installed("noise") && missing("/noise.bin") && missing("/image")) << last;
    }
}

// A malformed announcement or a name outside the installation is fatal.
TEST_F(NetworkInstall, AHostileServerCannotWriteOutsideFlashNorMakeTheInstallerHang) {
    const std::string bad = "\nFATAL ERROR: bad file announcement from server\n";
    const std::string outside = "\nFATAL ERROR: file name outside the installation: ";
    const std::string full = "\nFATAL ERROR: installation failed: No space left on device\n\n";
    const std::pair<PeerFile, std::string> cases[] = {
        // no message: installed
        // An absolute name is a name below /flash like any other; the size means nothing.
        {{"/etc/evil.scr", "evil\n", {}, "FILE\n/etc/evil.scr\n2147483647\n", {}}, ""},
        // Malformed announcements of a package and of a script (more in protocol_text_test).
        {{"minus.rpx", "x", {}, "FILE\nminus.rpx\n-5\n", {}}, bad},
        {{"junk.scr", "x", {}, "FILE\njunk.scr\n\x01\xff\n", {}}, bad},
        {file("../../escape.scr", "x"), outside + "../../escape.scr\n"},
        // After a package that leaves a symbolic link "trap.scr" -> "/etc/passwd".
        {file("trap.scr", "root::0:0::/:/bin/sh\n"), outside + "trap.scr\n"},
        // Blocks past any size until the disk is full, whether announced with a size or empty
        // (an empty script's bytes go nowhere, but no more of them than /flash would hold).
        {{"endless.scr", "e", {}, "FILE\nendless.scr\n1\n", {}, true}, full},
        {{"endless.scr", "", {}, {}, {}, true}, full},
    };
    for (const auto& [second, message] : cases) {
        PeerScript s = script();
        s.files = {file("first.scr", "first\n"), second};
        if (second.name == "trap.scr")
            s.files.insert(
                s.files.begin() + 1,
                file("link.rpx", builtOnce("linker", "ln -s /etc/passwd TREE/trap.scr")));
        // No TERM to the farewell: the run stays until ENTER, so its root can be walked.
        s.answerFarewell = false;
        serve(s);
        boot();
        ASSERT_TRUE(endsWith(message.empty() ? "Software installed.\n" : message))
            << second.name << sandbox->transcript();
        if (!message.empty()) {
            EXPECT_FALSE(contains(sandbox->transcript(), "Software installed.")) << second.name;
            EXPECT_FALSE(contains(mountsAfterFailure(), "/flash")) << second.name;
        }
        // Nothing of the server's reached the boot image's own files.
        EXPECT_EQ(namesOutsideFlash(), "") << second.name;
        endRun();
        EXPECT_EQ(diskFile("/first.scr"), "first\n") << second.name;
        EXPECT_TRUE(!message.empty() || diskFile("/etc/evil.scr") == "evil\n");
    }
}

// Eight times the limit by default (NET_BIG_MB=1024 makes it a gigabyte, as it was once run).
TEST_F(NetworkInstall, UnderA32MegabyteLimitAPackageEightTimesAsLargeStreamsOntoTheDisk) {
    MemoryLimit limit(32 << 20);
    if (!limit.valid())
        GTEST_SKIP() << "no memory cgroup";
    const char* size = getenv("NET_BIG_MB");
    int megabytes = size ? std::atoi(size) : 256;
    ScratchFolder folder("net-big");
    // A sparse file: neither the tree nor the compressed package takes more than a little disk.
    std::string package = packageWith(
        folder.path, "big", "truncate -s " + std::to_string(megabytes) + "M TREE/big.bin");
    disk = scratch.image("big.img", (uint64_t(megabytes) + 400) << 20);
    PeerScript s = script();
    s.files = {{"big.rpx", {}, package, {}, {}}, file("after.scr", "after\n")};
    serve(s);
    int64_t started = nowMicros();
    boot(&limit);
    ASSERT_TRUE(installedAndEnded(600)) << sandbox->transcript();
    std::printf("%d MiB in %.1f s, at most %.1f MiB in use, %llu times at the limit\n", megabytes,
                (nowMicros() - started) / 1e6, limit.value("memory.max_usage_in_bytes") / 1048576.0,
                static_cast<unsigned long long>(limit.value("memory.failcnt")));
    EXPECT_FALSE(contains(sandbox->transcript(), "ERROR")) << sandbox->transcript();
    sandbox.reset();
    uint64_t offset = 0, extent = 0;
    ASSERT_TRUE(partitionExtent(disk, 1, offset, extent));
    std::string stat;
    ASSERT_TRUE(debugfsRequest(disk, offset, "stat /big.bin", stat));
    EXPECT_TRUE(contains(stat, "Size: " + std::to_string(uint64_t(megabytes) << 20))) << stat;
    EXPECT_GT(limit.value("memory.max_usage_in_bytes"), 0u) << "nothing ran under the limit";
    EXPECT_TRUE(installed("big"));
    EXPECT_EQ(diskFile("/after.scr"), "after\n");
}

// A fault of the disk the packages go to.
// 24 MB of zeros: small on the wire, too large for a small disk.
TEST_F(NetworkInstall, ATargetTooSmallForAPackageEndsTheFlowBeforeTheNextFile) {
    disk = scratch.image("small.img", 16 << 20);
    PeerScript s = script();
    s.files = {
        sampleFile("system.rpx"),
        file("bulk.rpx", builtOnce("bulk", "mkdir -p TREE/b && truncate -s 24M TREE/b/zeros")),
        sampleFile("routing.rpx")};
    serve(s);
    boot();
    ASSERT_TRUE(endsWith("", 120)) << sandbox->transcript();
    std::string console = sandbox->transcript();
    size_t failed = console.find("ERROR: installation of bulk-1.0 failed: disk is too small\n");
    ASSERT_NE(failed, std::string::npos) << console;
    EXPECT_FALSE(contains(console.substr(failed), "installed")) << console;
    pressEnter();
    EXPECT_TRUE(missing("/CDINSTALL") && !installed("bulk") && installed("system"));
}

// A package whose unknown parts never end is read no further than its header declares: it is
// broken, and the flow stops once its child no longer reads (whose message and the flow's
// empty line may come in either order).
TEST_F(NetworkInstall, APackageThatNeverEndsIsBrokenAndEndsTheFlow) {
    std::string start = fileHeaderBytes(packageMagic, 64 << 20) +
                        partBytes(partHeader, headerBodyBytes({"endless", 0x01000000, 1000}));
    for (int n = 0; n < 200; ++n)
        start += partBytes(0x55, std::string(4000, 'f'));
    PeerScript s = script();
    s.files = {file("first.scr", "first\n"), {"endless.rpx", start, {}, {}, {}, true}};
    serve(s);
    boot();
    ASSERT_TRUE(sandbox->waitFor("Press ENTER to reboot\n", 60)) << sandbox->transcript();
    expectParts(sandbox->transcript(),
                {"ERROR: installation of endless-1.0 failed: broken package\n"},
                {"Software installed."});
    EXPECT_FALSE(contains(mountsAfterFailure(), "/flash"));
    endRun();
    EXPECT_EQ(diskFile("/first.scr"), "first\n");
    EXPECT_FALSE(installed("endless"));
}
