// A small streaming JSON writer: values go out as they are produced, commas and escapes are
// its business, nothing is held back.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>
#include <vector>

namespace rpx {

class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out(out) {}

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // The key of the next value in the current object.
    void key(std::string_view name);
    void string(std::string_view text);
    // A string value written in pieces: beginString, any number of stringPiece, endString.
    void beginString();
    void stringPiece(std::string_view text);
    void endString() { out << '"'; }
    void number(int64_t value);
    void boolean(bool value);
    void null();
    // A key and its value in one call.
    void stringField(std::string_view name, std::string_view text) {
        key(name);
        string(text);
    }
    void numberField(std::string_view name, int64_t value) {
        key(name);
        number(value);
    }
    void booleanField(std::string_view name, bool value) {
        key(name);
        boolean(value);
    }

private:
    void open(char c);
    void close(char c);
    void separate();

    std::ostream& out;
    std::vector<bool> hasItems;
    bool afterKey = false;
};

} // namespace rpx
