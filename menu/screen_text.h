// Text on the 80-column console: attributes, whole lines, word wrapping. Everything drawn here
// may come from a package file, so only printable ASCII reaches the terminal: any other byte
// shows as '?', and no byte of a package can move the cursor or change the terminal's state.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace installer {

enum TextAttribute : unsigned {
    underline = 1,
    reverseVideo = 2,
    blinking = 4,
    bold = 8,
};

// Resets the attributes, then turns on those in bits (0 only resets).
void setTextAttributes(unsigned bits, std::FILE* out = stdout);

// length bytes of text and a line feed, after (80 - length) / 2 blanks when centred.
void printLine(const char* text, size_t length, bool centred, std::FILE* out = stdout);

// Prints text word-wrapped into lines of at most 78 characters (each word followed by one
// blank). maxLines > 0 stops after that many lines, for text that must stay inside an area.
void wrapText(std::string_view text, std::FILE* out = stdout, int maxLines = 0);

// The text as the console may show it: printable ASCII kept, every other byte '?'.
std::string screenSafe(std::string_view text);

} // namespace installer
