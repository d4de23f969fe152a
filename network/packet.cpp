#include "network/packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace installer {

bool isZeroAddress(const HardwareAddress& address) {
    return std::all_of(address.begin(), address.end(), [](unsigned char b) { return b == 0; });
}

uint16_t readLittle16(const unsigned char* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

void writeLittle16(unsigned char* bytes, uint16_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
}

void Packet::clear() {
    std::memset(bytes, 0, sizeof bytes);
}

HardwareAddress Packet::source() const {
    HardwareAddress address;
    std::memcpy(address.data(), bytes + fieldSource, address.size());
    return address;
}

HardwareAddress Packet::destination() const {
    HardwareAddress address;
    std::memcpy(address.data(), bytes + fieldDestination, address.size());
    return address;
}

void Packet::setSource(const HardwareAddress& address) {
    std::memcpy(bytes + fieldSource, address.data(), address.size());
}

void Packet::setDestination(const HardwareAddress& address) {
    std::memcpy(bytes + fieldDestination, address.data(), address.size());
}

std::string_view Packet::payloadText() const {
    size_t length = std::min<size_t>(payloadLength(), maxPayload);
    return {reinterpret_cast<const char*>(payload()), length};
}

bool Packet::payloadBeginsWith(std::string_view word) const {
    return payloadText().substr(0, word.size()) == word;
}

void NetPeer::reset() {
    sent = 0;
    received = 0;
    peerAddress = {};
}

bool sequenceFollows(uint16_t sequence, uint32_t received) {
    return sequence == static_cast<uint16_t>(received + 1);
}

bool acknowledgesSent(uint16_t acknowledgement, uint32_t sent) {
    // How far back from `sent` the acknowledged message lies, modulo 2^16.
    uint16_t behind = static_cast<uint16_t>(sent - acknowledgement);
    return behind <= sent;
}

void buildHeader(NetPeer& peer, Packet& packet, size_t payloadLength) {
    packet.setField(fieldPayloadLength, static_cast<uint16_t>(payloadLength));
    packet.setField(fieldAcknowledgement, static_cast<uint16_t>(peer.received));
    peer.sent += 1;
    packet.setField(fieldSequence, static_cast<uint16_t>(peer.sent));
    packet.setSource(peer.ownAddress);
    packet.setDestination(peer.peerAddress);
}

size_t composeDatagram(NetPeer& peer, Packet& packet, std::string_view payload) {
    packet.clear();
    size_t length = std::min(payload.size(), maxPayload);
    std::memcpy(packet.payload(), payload.data(), length);
    buildHeader(peer, packet, length);
    return headerSize + length;
}

bool acceptPacket(NetPeer& peer, const Packet& packet, long size) {
    if (size < static_cast<long>(headerSize))
        return false;
    if (size - static_cast<long>(headerSize) != packet.payloadLength())
        return false;
    HardwareAddress source = packet.source();
    if (source == peer.ownAddress)
        return false;
    HardwareAddress destination = packet.destination();
    if (isZeroAddress(destination) ? !isZeroAddress(peer.peerAddress)
                                   : destination != peer.ownAddress)
        return false;
    if (!isZeroAddress(peer.peerAddress) && source != peer.peerAddress)
        return false;
    if (!acknowledgesSent(packet.acknowledgement(), peer.sent))
        return false;
    if (!sequenceFollows(packet.sequence(), peer.received))
        return false;
    peer.received += 1;
    return true;
}

std::string formatHardwareAddress(const unsigned char* a) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
                  a[5]);
    return text;
}

std::string formatHardwareAddress(const HardwareAddress& address) {
    return formatHardwareAddress(address.data());
}

} // namespace installer
