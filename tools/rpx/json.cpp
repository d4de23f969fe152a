#include "tools/rpx/json.h"

#include <cstdio>

namespace rpx {

void JsonWriter::separate() {
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!hasItems.empty()) {
        if (hasItems.back())
            out << ',';
        hasItems.back() = true;
    }
}

void JsonWriter::open(char c) {
    separate();
    out << c;
    hasItems.push_back(false);
}

void JsonWriter::close(char c) {
    if (!hasItems.empty())
        hasItems.pop_back();
    out << c;
    if (hasItems.empty())
        out << '\n';
}

void JsonWriter::key(std::string_view name) {
    separate();
    out << '"';
    stringPiece(name);
    out << "\":";
    afterKey = true;
}

void JsonWriter::beginString() {
    separate();
    out << '"';
}

void JsonWriter::stringPiece(std::string_view text) {
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out << "\\\"";
            break;
        case '\\':
            out << "\\\\";
            break;
        case '\n':
            out << "\\n";
            break;
        case '\t':
            out << "\\t";
            break;
        case '\r':
            out << "\\r";
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                // Bytes outside printable ASCII are shown as code points of the same value,
                // so any byte string gives valid JSON and can be recovered.
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out << escaped;
            } else {
                out << char(c);
            }
        }
    }
}

void JsonWriter::string(std::string_view text) {
    beginString();
    stringPiece(text);
    endString();
}

void JsonWriter::number(int64_t value) {
    separate();
    out << value;
}

void JsonWriter::boolean(bool value) {
    separate();
    out << (value ? "true" : "false");
}

void JsonWriter::null() {
    separate();
    out << "null";
}

} // namespace rpx
