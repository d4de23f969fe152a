// The transport over real sockets: an installer side and a server side in two network
// namespaces of the test's own, joined by veth pairs. Both sides use the transport itself;
// the server side is driven by hand (or by a thread) to do what a correct server would not.
// The waits that only run out do so on a virtual clock, measured exactly.
#include "network/transport.h"
#include "testbed/net_namespace.h"
#include "testbed/virtual_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <poll.h>
#include <thread>

using namespace installer;

namespace {

class TwoStations : public testing::Test {
protected:
    void SetUp() override {
        if (!canMakeNetNamespaces())
            GTEST_SKIP() << "needs root and ip";
        ASSERT_TRUE(leaveHostNetwork());
        client = std::make_unique<NetNamespace>("tc");
        server = std::make_unique<NetNamespace>("ts");
        ASSERT_TRUE(client->valid() && server->valid());
        // The installer side stays in its namespace for the whole test: a rescan inside
        // broadcast() looks at the interfaces of wherever the thread is.
        inClient = std::make_unique<EnterNamespace>(*client);
        ASSERT_TRUE(inClient->entered());
    }
    void TearDown() override {
        serverLink = NetLink{};
        clientLink = NetLink{};
        inClient.reset();
    }
    // A veth pair numbered n between the two, then both sides scanned.
    void connect(int pairs) {
        for (int n = 0; n < pairs; ++n)
            ASSERT_TRUE(addVethPair(*client, vethName("c" + std::to_string(n)), *server,
                                    vethName("s" + std::to_string(n))));
        scan(clientLink, *client);
        scan(serverLink, *server);
        ASSERT_EQ(clientLink.interfaces.size(), static_cast<size_t>(pairs));
        ASSERT_EQ(serverLink.interfaces.size(), static_cast<size_t>(pairs));
    }
    void scan(NetLink& link, const NetNamespace& space) {
        EnterNamespace inside(space);
        ASSERT_TRUE(inside.entered());
        scanInterfaces(link);
    }
    NetInterface& serverSide(int n) { return *serverLink.interfaces[n]; }
    NetInterface& clientSide(int n) { return *clientLink.interfaces[n]; }

    // Datagrams from the installer that reach one server interface within `seconds`.
    std::vector<Packet> collect(int n, double seconds) {
        std::vector<Packet> got;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (pollfd wait{serverSide(n).socket, POLLIN, 0};;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return got;
            if (poll(&wait, 1, int(left.count())) <= 0)
                continue;
            Packet packet;
            while (receivePacket(serverSide(n), packet) >= 0)
                if (packet.source() != serverSide(n).hardwareAddress)
                    got.push_back(packet);
        }
    }
    // A reply of the server on interface n (or of `from`), numbered `sequence`, to `to`.
    void reply(int n, const char* text, uint16_t sequence, const HardwareAddress& to,
               const HardwareAddress* from = nullptr) {
        NetPeer peer;
        peer.ownAddress = from ? *from : serverSide(n).hardwareAddress;
        peer.peerAddress = to;
        peer.sent = sequence - 1u;
        Packet packet;
        size_t size = composeDatagram(peer, packet, text);
        ASSERT_EQ(sendPacket(serverSide(n), packet, size), static_cast<long>(size));
    }
    Packet request(const char* word) {
        Packet packet;
        packet.clear();
        std::memcpy(packet.payload(), word, std::strlen(word));
        return packet;
    }
    // The installer's side of a conversation with the server on the first pair, which has
    // sent one reply; `word` is the next request, numbered.
    Packet nextRequest(const char* word) {
        NetPeer& peer = clientLink.peer;
        peer.ownAddress = clientSide(0).hardwareAddress;
        peer.peerAddress = serverSide(0).hardwareAddress;
        peer.received = 1;
        Packet packet = request(word);
        buildHeader(peer, packet, 4);
        return packet;
    }

    std::unique_ptr<NetNamespace> client, server;
    std::unique_ptr<EnterNamespace> inClient;
    NetLink clientLink, serverLink;
};

} // namespace

TEST_F(TwoStations, ScanKeepsEveryCardButLoopbackAndABroadcastDiffersOnlyInItsSource) {
    connect(2);
    EXPECT_NE(clientSide(0).hardwareAddress, clientSide(1).hardwareAddress);
    EXPECT_EQ(clientSide(0).name, vethName("c0"));
    Packet packet = request("DRVR\n6.1\n");
    ASSERT_TRUE(broadcast(clientLink, packet, 9));
    auto first = collect(0, 0.3), second = collect(1, 0.3);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].source(), clientSide(0).hardwareAddress);
    EXPECT_EQ(second[0].source(), clientSide(1).hardwareAddress);
    EXPECT_EQ(std::memcmp(first[0].bytes + 6, second[0].bytes + 6, packetSize - 6), 0);
    EXPECT_EQ(first[0].sequence(), 1);
    EXPECT_EQ(first[0].acknowledgement(), 0);
    EXPECT_TRUE(isZeroAddress(first[0].destination()));
    EXPECT_EQ(first[0].payloadLength(), 9);
}

TEST_F(TwoStations, AReplyOnTheOtherInterfaceIsHeardAfterTheFirstOneWasReadable) {
    connect(2);
    Packet packet = request("DSCV\n");
    ASSERT_TRUE(broadcast(clientLink, packet, 5));
    HardwareAddress second = clientSide(1).hardwareAddress;
    std::thread serverThread([&] {
        // Noise on the first interface wakes the wait; the offer comes later on the second.
        reply(0, "OFFR\nnot for you\n", 1, {0x02, 9, 9, 9, 9, 9});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        reply(1, "OFFR\nline\n", 1, second);
    });
    Packet got;
    bool heard = awaitReply(clientLink, got, "OFFR");
    serverThread.join();
    ASSERT_TRUE(heard);
    EXPECT_EQ(clientLink.selected, 1);
    EXPECT_EQ(clientLink.peer.peerAddress, serverSide(1).hardwareAddress);
    EXPECT_EQ(clientLink.peer.ownAddress, second);
    EXPECT_EQ(clientLink.peer.sent, 0u);
    EXPECT_EQ(clientLink.peer.received, 1u);
}

TEST_F(TwoStations, AFirstReplyToNobodyOrOfTheWrongWordIsIgnoredAndTheWaitsShareOneSecond) {
    connect(1);
    VirtualClock clock;
    Packet packet = request("DSCV\n");
    ASSERT_TRUE(broadcast(clientLink, packet, 5));
    reply(0, "OFFR\nzero\n", 1, {});
    reply(0, "OFDR", 1, clientSide(0).hardwareAddress);
    reply(0, "OFFR", 2, clientSide(0).hardwareAddress);
    Packet got;
    int64_t start = clock.micros;
    EXPECT_FALSE(awaitReply(clientLink, got, "OFFR"));
    EXPECT_FALSE(awaitReply(clientLink, got, "OFFR")) << "the window is spent";
    EXPECT_EQ(clock.micros - start, 1000000);
    ASSERT_FALSE(clock.waits.empty());
    EXPECT_EQ(clock.waits.front(), 1000000);
    EXPECT_EQ(clock.waits.back(), 0);
    EXPECT_EQ(clientLink.selected, -1);
}

TEST_F(TwoStations, TheSixtiethBroadcastRescansAndPicksUpANewCard) {
    connect(1);
    ASSERT_TRUE(addVethPair(*client, vethName("c1"), *server, vethName("s1")));
    serverLink = NetLink{}; // its sockets hold port 5000 on the first card
    scan(serverLink, *server);
    ASSERT_EQ(serverLink.interfaces.size(), 2u);
    Packet packet = request("DRVR\n");
    for (int n = 1; n <= 59; ++n)
        ASSERT_TRUE(broadcast(clientLink, packet, 5));
    EXPECT_EQ(clientLink.interfaces.size(), 1u) << "the 59th broadcast does not rescan";
    ASSERT_TRUE(broadcast(clientLink, packet, 5));
    EXPECT_EQ(clientLink.interfaces.size(), 2u);
    EXPECT_EQ(clientLink.broadcastCount, 0);
    // Exactly one datagram reached the new card: the 60th broadcast's.
    EXPECT_EQ(collect(1, 0.3).size(), 1u);
}

TEST_F(TwoStations, AnUnansweredExchangeSendsTheSameRequestOncePerTryAndWaitsEachOut) {
    connect(1);
    VirtualClock clock;
    Packet request = nextRequest("STRT"), reply;
    int64_t start = clock.micros;
    EXPECT_EQ(exchange(clientSide(0), clientLink.peer, request, reply, 100000, 4), -1);
    EXPECT_EQ(clock.micros - start, 400000) << "each of the 4 tries waits its 0.1 s out";
    for (int64_t wait : clock.waits)
        EXPECT_LE(wait, 100000) << "a datagram that is not the reply never extends a try";
    auto sent = collect(0, 0.1);
    ASSERT_EQ(sent.size(), 4u);
    for (const Packet& p : sent)
        EXPECT_EQ(std::memcmp(p.bytes, request.bytes, 24), 0);
}

TEST_F(TwoStations, AnExchangeSkipsRepeatsAndStrangersAndTakesTheNextReply) {
    connect(1);
    NetPeer& peer = clientLink.peer;
    Packet request = nextRequest("RETR"), reply;
    std::thread serverThread([&] {
        // Before the answer come a repeat of an old reply and a datagram from a foreign
        // station.
        EXPECT_EQ(collect(0, 0.15).size(), 1u);
        HardwareAddress foreign{0x02, 7, 7, 7, 7, 7};
        this->reply(0, "old", 1, peer.ownAddress);
        this->reply(0, "alien", 2, peer.ownAddress, &foreign);
        this->reply(0, "good", 2, peer.ownAddress);
    });
    long size = exchange(clientSide(0), peer, request, reply, 300000, 5);
    serverThread.join();
    ASSERT_EQ(size, 24);
    EXPECT_EQ(reply.payloadText(), "good");
    EXPECT_EQ(peer.received, 2u);
}
