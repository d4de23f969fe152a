#include "repository/repository.h"

#include <algorithm>

namespace installer {

namespace {

// A message's formatted text is cut to this many characters.
constexpr size_t messageLimit = 255;
constexpr size_t progressWidth = 76;

const char hideCursor[] = "\033[?25l";
const char showCursor[] = "\033[?25h";

} // namespace

std::string progressLine(const std::string& label, uint64_t done, uint64_t total) {
    std::string line = label + " [";
    // Labels too long for a bar get an empty one, and a count past the total a full one.
    size_t width = line.size() < progressWidth ? progressWidth - line.size() : 0;
    uint64_t filled = total == 0 ? 0 : done * width / total;
    filled = std::min<uint64_t>(filled, width);
    line.append(size_t(filled), '#');
    line.append(width - size_t(filled), ' ');
    line += ']';
    return line;
}

void Repository::write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), console);
    std::fflush(console);
}

void Repository::setStatus(const std::string& text) {
    if (quiet || text == status)
        return;
    std::string line = hideCursor;
    line += '\r';
    line += text;
    if (status.size() > text.size())
        line.append(status.size() - text.size(), ' ');
    line += '\r';
    line += showCursor;
    write(line);
    status = text;
}

void Repository::showProgress(const PackageReader& reader, const std::string& label) {
    uint64_t done = uint64_t(reader.position()) + (reader.partLength() - reader.remaining());
    setStatus(progressLine(label, done, reader.totalSize()));
}

void Repository::message(const char* prefix, bool blankStatus, const char* format,
                         va_list arguments) {
    if (blankStatus)
        setStatus("");
    char text[messageLimit + 1];
    std::vsnprintf(text, sizeof text, format, arguments);
    if (quiet)
        return;
    if (!status.empty())
        write("\r" + std::string(79, ' ') + "\r");
    write(std::string(prefix) + text + "\n");
    if (!status.empty())
        write(status);
}

void Repository::info(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    message("", true, format, arguments);
    va_end(arguments);
}

void Repository::warning(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    message("WARNING: ", false, format, arguments);
    va_end(arguments);
}

void Repository::error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    message("ERROR: ", true, format, arguments);
    va_end(arguments);
}

void Repository::reportError(const std::string& text) {
    error("%s", text.c_str());
}

} // namespace installer
