// The datagram header as the server reads and writes it: hardware addresses, payload length,
// sequence and acknowledgement, all little-endian, followed by the payload.
#pragma once

#include "network/packet.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace iserver {

using installer::headerSize;
using installer::maxPayload; // 4076
using installer::protocolPort;
constexpr size_t maxDatagram = installer::packetSize;

using Mac = installer::HardwareAddress;

bool isZero(const Mac& mac);
// "02:1A:2B:3C:4D:5E", as the installer prints it.
std::string formatMac(const Mac& mac);
// Accepts "02:1a:2b:3c:4d:5e" and "02-1A-2B-3C-4D-5E"; false for anything else.
bool parseMac(std::string_view text, Mac& mac);

struct Header {
    Mac source{};
    Mac destination{};
    uint16_t payloadLength = 0;
    uint16_t sequence = 0;
    uint16_t acknowledgement = 0;
};

// Why a datagram was not taken; each is counted.
enum class Drop {
    none,
    shortDatagram, // fewer bytes than a header
    badLength,     // size and payload length disagree
    ownStation,    // sent by this server (it hears its own broadcasts)
    otherStation,  // addressed to another station
    outOfSequence, // neither the next request nor a repetition of the last one
    unknownWord,   // no request this server answers, or one out of place
    draining,      // a new machine while the server drains
    count
};
const char* dropName(Drop reason);

// Splits a received datagram; shortDatagram or badLength when its size does not hold up.
Drop parseDatagram(const uint8_t* data, size_t size, Header& header, std::string_view& payload);
// Writes the header in front of a payload already placed at offset 20.
void writeHeader(uint8_t* datagram, const Header& header);

// True when the payload starts with the four letters of `word`.
inline bool startsWith(std::string_view payload, std::string_view word) {
    return payload.substr(0, word.size()) == word;
}

} // namespace iserver
