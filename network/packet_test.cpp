// Datagram layout and the acceptance rule, in-process: the two ends of a conversation are two
// NetPeer values passing packets by hand.
#include "network/packet.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace installer;

namespace {

const HardwareAddress client{0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
const HardwareAddress server{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const HardwareAddress stranger{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};

// Client and server after the first reply: the client has sent nothing on this conversation
// yet and accepted reply 1.
struct Conversation {
    NetPeer client, server;
    Conversation() {
        client.ownAddress = ::client;
        client.peerAddress = ::server;
        client.received = 1;
        server.ownAddress = ::server;
        server.peerAddress = ::client;
        server.sent = 1;
    }
    // The server's next reply as the client would receive it.
    long serverReply(Packet& packet, std::string_view text = "data") {
        return static_cast<long>(composeDatagram(server, packet, text));
    }
};

} // namespace

TEST(PacketLayout, FieldsAreLittleEndianAtTheirOffsetsAndThePayloadIsFollowedByZeros) {
    Conversation c;
    NetPeer& peer = c.client;
    peer.sent = 0x1233;
    peer.received = 0x10abc;
    Packet packet;
    std::memset(packet.bytes, 0xff, sizeof packet.bytes);
    size_t size = composeDatagram(peer, packet, "RETR");
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(peer.sent, 0x1234u);
    const unsigned char expected[] = {0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, // source
                                      0x02, 0x00, 0x00, 0x00, 0x00, 0x01, // destination
                                      0x00, 0x00,                         // reserved
                                      0x04, 0x00,                         // payload length
                                      0x34, 0x12,                         // sequence
                                      0xbc, 0x0a,                         // ack, low 16 bits
                                      'R',  'E',  'T',  'R'};
    EXPECT_EQ(std::memcmp(packet.bytes, expected, sizeof expected), 0);
    for (size_t i = size; i < packetSize; ++i)
        ASSERT_EQ(packet.bytes[i], 0) << "byte " << i;
    EXPECT_TRUE(packet.payloadBeginsWith("RET"));
    EXPECT_FALSE(packet.payloadBeginsWith("RETRY"));
}

TEST(PacketLayout, APayloadLongerThanOneDatagramIsCutAtItsLimit) {
    NetPeer peer;
    Packet packet;
    std::string big(5000, 'x');
    EXPECT_EQ(composeDatagram(peer, packet, big), packetSize);
    EXPECT_EQ(packet.payloadLength(), maxPayload);
}

TEST(PacketLayout, HardwareAddressesAreUpperCaseHexWithColons) {
    EXPECT_EQ(formatHardwareAddress(client), "02:1A:2B:3C:4D:5E");
    EXPECT_EQ(formatHardwareAddress(HardwareAddress{0xff, 0, 0x0a, 0xb0, 1, 0x10}),
              "FF:00:0A:B0:01:10");
}

TEST(AcceptanceRule, DatagramsThatAreNotTheNextMessageFromTheChosenServerAreDropped) {
    struct Case {
        const char* what;
        void (*damage)(Packet&, long&);
    };
    const Case cases[] = {
        {"shorter than a header", [](Packet&, long& size) { size = 19; }},
        {"longer than declared", [](Packet&, long& size) { size += 1; }},
        {"shorter than declared", [](Packet&, long& size) { size -= 1; }},
        {"our own datagram", [](Packet& p, long&) { p.setSource(client); }},
        {"from another station", [](Packet& p, long&) { p.setSource(stranger); }},
        {"addressed to another station", [](Packet& p, long&) { p.setDestination(stranger); }},
        {"addressed to nobody once a server is chosen",
         [](Packet& p, long&) { p.setDestination({}); }},
        {"acknowledging a message never sent",
         [](Packet& p, long&) { p.setField(fieldAcknowledgement, 2); }},
        {"skipping a sequence number", [](Packet& p, long&) { p.setField(fieldSequence, 3); }},
        {"an old sequence number", [](Packet& p, long&) { p.setField(fieldSequence, 1); }},
    };
    for (const Case& test : cases) {
        Conversation c;
        Packet request, reply;
        composeDatagram(c.client, request, "RETR"); // client.sent = 1
        acceptPacket(c.server, request, 24);
        long size = c.serverReply(reply);
        test.damage(reply, size);
        EXPECT_FALSE(acceptPacket(c.client, reply, size)) << test.what;
        EXPECT_EQ(c.client.received, 1u) << test.what;
    }
}

TEST(AcceptanceRule, BeforeAServerIsChosenOnlyAFirstMessageAddressedToNobodyOrToUsIsTaken) {
    NetPeer serverSide;
    serverSide.ownAddress = server;
    Packet offer;
    composeDatagram(serverSide, offer, "OFFR\n\n"); // destination all zero
    const struct {
        HardwareAddress destination;
        uint16_t sequence;
        bool taken;
    } cases[] = {{{}, 1, true}, {client, 1, true}, {stranger, 1, false}, {client, 2, false}};
    for (const auto& c : cases) {
        NetPeer lonely;
        lonely.ownAddress = client;
        offer.setDestination(c.destination);
        offer.setField(fieldSequence, c.sequence); // a first reply carries sequence 1
        EXPECT_EQ(acceptPacket(lonely, offer, headerSize + 6), c.taken)
            << formatHardwareAddress(c.destination) << " sequence " << c.sequence;
    }
}

// Each reply is taken once and its repeat dropped, past the 16-bit wrap of the fields.
TEST(AcceptanceRule, AConversationRunsOnPastSixtyFiveThousandFiveHundredAndThirtyFiveMessages) {
    Conversation c;
    Packet request, reply;
    for (uint32_t n = 0; n < 140000; ++n) {
        long asked = static_cast<long>(composeDatagram(c.client, request, "RETR"));
        ASSERT_TRUE(acceptPacket(c.server, request, asked)) << "request " << n;
        long size = c.serverReply(reply);
        ASSERT_TRUE(acceptPacket(c.client, reply, size)) << "reply " << n;
        ASSERT_FALSE(acceptPacket(c.client, reply, size)) << "repeat of reply " << n;
    }
    EXPECT_EQ(c.client.received, 140001u);
    EXPECT_EQ(c.client.sent, 140000u);
}

TEST(AcceptanceRule, BelowTheFirstWrapAnAcknowledgementIsCheckedAgainstTheFullCount) {
    for (uint32_t sent : {0u, 1u, 7u, 40000u, 65535u})
        for (uint32_t ack : {0u, 1u, 6u, 7u, 8u, 39999u, 40000u, 40001u, 65535u})
            EXPECT_EQ(acknowledgesSent(static_cast<uint16_t>(ack), sent), ack <= sent)
                << "ack " << ack << " sent " << sent;
    // After the wrap the field is compared modulo 2^16.
    EXPECT_TRUE(acknowledgesSent(4, 65536 + 4));
    EXPECT_TRUE(acknowledgesSent(65535, 65536 + 4));
    EXPECT_TRUE(sequenceFollows(0, 65535));
    EXPECT_TRUE(sequenceFollows(1, 65536));
    EXPECT_FALSE(sequenceFollows(1, 65535));
}
