#include "network/protocol_text.h"

#include <cctype>

namespace installer {

std::string driverRequest(std::string_view kernelRelease) {
    std::string text = "DRVR\n";
    text += kernelRelease;
    text += '\0';
    return text;
}

std::string discoveryRequest(std::string_view fieldA, std::string_view fieldB,
                             std::string_view label) {
    std::string text = "DSCV\n";
    for (std::string_view line : {fieldA, fieldB, label, std::string_view("i386")}) {
        text += line;
        text += '\n';
    }
    text += '\0';
    return text;
}

bool parseOffer(std::string_view payload, bool& keep) {
    keep = false;
    size_t first = payload.find('\n');
    if (first == std::string_view::npos)
        return false;
    size_t second = payload.find('\n', first + 1);
    if (second == std::string_view::npos || second - first - 1 > maxOfferLine)
        return false;
    size_t third = payload.find('\n', second + 1);
    if (third != std::string_view::npos)
        keep = payload.substr(second + 1, third - second - 1) == "keep";
    return true;
}

Announcement parseFileAnnouncement(std::string_view payload, std::string& name, int32_t& size) {
    name.clear();
    size = 0;
    if (payload.substr(0, 4) != "FILE")
        return Announcement::endOfList;
    size_t first = payload.find('\n');
    if (first == std::string_view::npos)
        return Announcement::malformed;
    size_t second = payload.find('\n', first + 1);
    if (second == std::string_view::npos)
        return Announcement::malformed;
    std::string_view announced = payload.substr(first + 1, second - first - 1);
    if (announced.size() > maxFileName || announced.find('\0') != std::string_view::npos)
        return Announcement::malformed;
    std::string_view rest = payload.substr(second + 1);
    size_t digits = 0;
    int64_t value = 0;
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) {
        value = value * 10 + (rest[digits] - '0');
        if (++digits > 10 || value > INT32_MAX)
            return Announcement::malformed;
    }
    if (digits == 0)
        return Announcement::malformed;
    if (digits < rest.size() && rest[digits] != '\n' && rest[digits] != '\0')
        return Announcement::malformed;
    name = announced;
    size = static_cast<int32_t>(value);
    return Announcement::file;
}

bool isConfigurationScript(std::string_view name) {
    return name.size() > 4 && name.substr(name.size() - 4) == ".scr";
}

std::string diskLabelFromLine(std::string_view line) {
    std::string label;
    for (char c : line.substr(0, maxDiskLabel)) {
        if (c == '\n')
            break;
        if (std::isgraph(static_cast<unsigned char>(c)))
            label += c;
    }
    return label.empty() ? defaultDiskLabel : label;
}

} // namespace installer
