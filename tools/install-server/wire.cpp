#include "tools/install-server/wire.h"

#include <cstdio>

namespace iserver {

namespace {

using installer::readLittle16;
using installer::writeLittle16;

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
    return installer::isZeroAddress(mac);
}

std::string formatMac(const Mac& mac) {
    return installer::formatHardwareAddress(mac);
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
    case Drop::none:
        return "none";
    case Drop::shortDatagram:
        return "short";
    case Drop::badLength:
        return "length";
    case Drop::ownStation:
        return "own";
    case Drop::otherStation:
        return "other_station";
    case Drop::outOfSequence:
        return "out_of_sequence";
    case Drop::unknownWord:
        return "unknown_word";
    case Drop::draining:
        return "draining";
    case Drop::count:
        break;
    }
    return "?";
}

Drop parseDatagram(const uint8_t* data, size_t size, Header& header, std::string_view& payload) {
    if (size < headerSize)
        return Drop::shortDatagram;
    header.payloadLength = readLittle16(data + installer::fieldPayloadLength);
    if (size - headerSize != header.payloadLength)
        return Drop::badLength;
    for (size_t i = 0; i < 6; ++i) {
        header.source[i] = data[installer::fieldSource + i];
        header.destination[i] = data[installer::fieldDestination + i];
    }
    header.sequence = readLittle16(data + installer::fieldSequence);
    header.acknowledgement = readLittle16(data + installer::fieldAcknowledgement);
    payload =
        std::string_view(reinterpret_cast<const char*>(data + headerSize), header.payloadLength);
    return Drop::none;
}

void writeHeader(uint8_t* datagram, const Header& header) {
    for (size_t i = 0; i < 6; ++i) {
        datagram[installer::fieldSource + i] = header.source[i];
        datagram[installer::fieldDestination + i] = header.destination[i];
    }
    writeLittle16(datagram + installer::fieldReserved, 0);
    writeLittle16(datagram + installer::fieldPayloadLength, header.payloadLength);
    writeLittle16(datagram + installer::fieldSequence, header.sequence);
    writeLittle16(datagram + installer::fieldAcknowledgement, header.acknowledgement);
}

} // namespace iserver
