#include "menu/screen_text.h"

#include <cstring>

namespace installer {

namespace {

constexpr size_t screenWidth = 80;
// A line holds up to 77 characters of words before the blank after the last one.
constexpr size_t wrapWidth = 77;

bool printable(unsigned char c) {
    return c >= 0x20 && c < 0x7f;
}

} // namespace

void setTextAttributes(unsigned bits, std::FILE* out) {
    std::fputs("\x1b[m", out);
    if (bits & underline)
        std::fputs("\x1b[4m", out);
    if (bits & reverseVideo)
        std::fputs("\x1b[7m", out);
    if (bits & blinking)
        std::fputs("\x1b[5m", out);
    if (bits & bold)
        std::fputs("\x1b[1m", out);
}

void printLine(const char* text, size_t length, bool centred, std::FILE* out) {
    if (centred && length < screenWidth)
        for (size_t i = 0; i < (screenWidth - length) / 2; ++i)
            std::fputc(' ', out);
    std::fwrite(text, 1, length, out);
    std::fputc('\n', out);
}

void wrapText(std::string_view text, std::FILE* out, int maxLines) {
    char line[92];
    size_t used = 0;
    int printed = 0;
    auto flush = [&] {
        if (maxLines <= 0 || printed < maxLines)
            printLine(line, used, false, out);
        ++printed;
        used = 0;
    };
    auto add = [&](std::string_view word) {
        if (word.size() + used > wrapWidth)
            flush();
        for (unsigned char c : word)
            line[used++] = printable(c) ? char(c) : '?';
        line[used++] = ' ';
    };
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\n') {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\n')
            ++end;
        std::string_view word = text.substr(at, end - at);
        // A word wider than a line would overrun the buffer and the screen: it goes on in
        // pieces of a whole line each, nothing of it dropped.
        while (word.size() > wrapWidth) {
            add(word.substr(0, wrapWidth));
            word.remove_prefix(wrapWidth);
        }
        add(word);
        at = end;
    }
    flush();
}

std::string screenSafe(std::string_view text) {
    std::string safe(text);
    for (char& c : safe)
        if (!printable(static_cast<unsigned char>(c)))
            c = '?';
    return safe;
}

} // namespace installer
