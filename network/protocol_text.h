// The texts of the installation protocol: composing the installer's requests and reading the
// server's offers and file announcements. Pure: an install server can use the same rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace installer {

constexpr size_t maxOfferLine = 512; // line 2 of OFFR
constexpr size_t maxFileName = 80;   // line 2 of FILE
constexpr size_t maxDiskLabel = 63;
inline const char defaultDiskLabel[] = "Kestrova";

// "DRVR" LF release NUL (the NUL is part of the declared length).
std::string driverRequest(std::string_view kernelRelease);
// "DSCV" LF a LF b LF label LF "i386" LF NUL.
std::string discoveryRequest(std::string_view fieldA, std::string_view fieldB,
                             std::string_view label);

// An OFFR payload: "OFFR" LF line-2 LF [line-3 LF]. False when it lacks its two line feeds or
// line 2 is longer than 512 characters; `keep` is true only for a third line exactly "keep".
bool parseOffer(std::string_view payload, bool& keep);

enum class Announcement { file, endOfList, malformed };

// A reply to the RETR that asks for the next file. Anything not beginning with "FILE" ends the
// list. A FILE needs: LF, a name of at most 80 bytes without NUL, LF, then a size line of 1 to
// 10 decimal digits, nothing else (no blank, no sign), ending at LF, NUL or the end of the
// payload, whose value fits in 31 bits.
Announcement parseFileAnnouncement(std::string_view payload, std::string& name, int32_t& size);

// A configuration script: a name longer than 4 characters that ends in ".scr". The test looks
// at the whole announced name, the same name the script is then written under.
bool isConfigurationScript(std::string_view name);

// The disk label from the first line of a label file: only letters, digits and punctuation are
// kept, at most 63 of the line's characters are looked at; "Kestrova" when nothing is left.
std::string diskLabelFromLine(std::string_view line);

} // namespace installer
