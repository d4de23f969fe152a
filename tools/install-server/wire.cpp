#include "tools/install-server/wire.h"

#include <cstdio>

namespace iserver {

namespace {

uint16_t load16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

void store16(uint8_t* p, uint16_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool isZero(const Mac& mac) {
    for (uint8_t b : mac)
        if (b)
            return false;
    return true;
}

std::string formatMac(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

bool parseMac(std::string_view text, Mac& mac) {
    if (text.size() != 17)
        return false;
    char separator = text[2];
    if (separator != ':' && separator != '-')
        return false;
    for (size_t i = 0; i < 6; ++i) {
        int high = hexDigit(text[i * 3]), low = hexDigit(text[i * 3 + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[i * 3 + 2] != separator))
            return false;
        mac[i] = uint8_t(high * 16 + low);
    }
    return true;
}

const char* dropName(Drop reason) {
    switch (reason) {
    case Drop::none: return "none";
    case Drop::shortDatagram: return "short";
    case Drop::badLength: return "length";
    case Drop::ownStation: return "own";
    case Drop::otherStation: return "other_station";
    case Drop::outOfSequence: return "out_of_sequence";
    case Drop::unknownWord: return "unknown_word";
    case Drop::draining: return "draining";
    case Drop::count: break;
    }
    return "?";
}

Drop parseDatagram(const uint8_t* data, size_t size, Header& header, std::string_view& payload) {
    if (size < headerSize)
        return Drop::shortDatagram;
    header.payloadLength = load16(data + 14);
    if (size - headerSize != header.payloadLength)
        return Drop::badLength;
    for (size_t i = 0; i < 6; ++i) {
        header.source[i] = data[i];
        header.destination[i] = data[6 + i];
    }
    header.sequence = load16(data + 16);
    header.acknowledgement = load16(data + 18);
    payload = std::string_view(reinterpret_cast<const char*>(data + headerSize),
                               header.payloadLength);
    return Drop::none;
}

void writeHeader(uint8_t* datagram, const Header& header) {
    for (size_t i = 0; i < 6; ++i) {
        datagram[i] = header.source[i];
        datagram[6 + i] = header.destination[i];
    }
    store16(datagram + 12, 0);
    store16(datagram + 14, header.payloadLength);
    store16(datagram + 16, header.sequence);
    store16(datagram + 18, header.acknowledgement);
}

} // namespace iserver
