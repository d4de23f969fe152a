// One datagram of the installation protocol and the rules by which the two ends number,
// address and accept them. Nothing here touches the system: the same code composes and checks
// datagrams in the installer and in an install server.
//
// Layout (all fields unsigned 16-bit little-endian):
//   0  source hardware address (6)     12 reserved, zero     16 sequence
//   6  destination hardware address (6) 14 payload length     18 acknowledgement
//   20 payload, at most 4076 bytes
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace installer {

constexpr size_t packetSize = 4096;
constexpr size_t headerSize = 20;
constexpr size_t maxPayload = packetSize - headerSize; // 4076
constexpr uint16_t protocolPort = 5000;

using HardwareAddress = std::array<unsigned char, 6>;

bool isZeroAddress(const HardwareAddress& address);

// Offsets of the header fields.
enum HeaderField : size_t {
    fieldSource = 0,
    fieldDestination = 6,
    fieldReserved = 12,
    fieldPayloadLength = 14,
    fieldSequence = 16,
    fieldAcknowledgement = 18,
};

uint16_t readLittle16(const unsigned char* bytes);
void writeLittle16(unsigned char* bytes, uint16_t value);

// A buffer for one datagram, header and payload.
struct Packet {
    unsigned char bytes[packetSize];

    // Zero everywhere, so that a payload text is always followed by zero bytes.
    void clear();

    uint16_t field(HeaderField offset) const { return readLittle16(bytes + offset); }
    void setField(HeaderField offset, uint16_t value) { writeLittle16(bytes + offset, value); }
    HardwareAddress source() const;
    HardwareAddress destination() const;
    void setSource(const HardwareAddress& address);
    void setDestination(const HardwareAddress& address);
    uint16_t payloadLength() const { return field(fieldPayloadLength); }
    uint16_t sequence() const { return field(fieldSequence); }
    uint16_t acknowledgement() const { return field(fieldAcknowledgement); }

    unsigned char* payload() { return bytes + headerSize; }
    const unsigned char* payload() const { return bytes + headerSize; }
    // The declared payload as text (no bounds beyond the buffer: the length is capped).
    std::string_view payloadText() const;
    // True when the declared payload begins with `word`.
    bool payloadBeginsWith(std::string_view word) const;
};

// The sequencing state of one end of a conversation. The counts are 32 bits while the header
// carries their low 16 bits; the comparisons below are made modulo 2^16 so that a conversation
// may run past 65,535 messages.
struct NetPeer {
    uint32_t sent = 0;     // sequence number of the last message sent
    uint32_t received = 0; // sequence number of the last message accepted from the peer
    HardwareAddress ownAddress{};
    HardwareAddress peerAddress{}; // all zero while no peer is chosen

    // Back to a fresh conversation with nobody (addresses of this end kept).
    void reset();
};

// True when a sequence field carries the message that follows `received`.
bool sequenceFollows(uint16_t sequence, uint32_t received);
// True when an acknowledgement field names a message already sent: the value congruent to it
// modulo 2^16 at or below `sent` exists (so below 65,536 messages simply ack <= sent).
bool acknowledgesSent(uint16_t acknowledgement, uint32_t sent);

// Fills the header of a request whose payload is already at offset 20: counts the message
// as sent, acknowledges what was received, addresses it from own to peer.
void buildHeader(NetPeer& peer, Packet& packet, size_t payloadLength);

// Clears the packet, copies the payload in and builds the header; returns the datagram size.
// The payload is cut at maxPayload.
size_t composeDatagram(NetPeer& peer, Packet& packet, std::string_view payload);

// The acceptance rule: true when the received datagram of `size` bytes is the next message of
// the conversation (valid size, not our own, addressed to us or, before a peer is chosen, to
// nobody, from the chosen peer, acknowledging nothing unsent, next in sequence). Advances
// peer.received when it is.
bool acceptPacket(NetPeer& peer, const Packet& packet, long size);

// "02:1A:2B:3C:4D:5E".
std::string formatHardwareAddress(const HardwareAddress& address);
std::string formatHardwareAddress(const unsigned char* address);

} // namespace installer
