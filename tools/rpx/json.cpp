#include "tools/rpx/json.h"

#include <string>

namespace rpx {

Json byteString(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            text += char(c);
        } else {
            text += char(0xC0 | (c >> 6));
            text += char(0x80 | (c & 0x3F));
        }
    }
    return Json(std::move(text));
}

void writeJson(std::ostream& out, const Json& value) {
    std::string text = value.dump(-1, ' ', true);
    // The library's short escapes for backspace and form feed are written out in full, as every
    // other control character is.
    std::string written;
    written.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            written += next == 'b' ? "\\u0008" : next == 'f' ? "\\u000c" : std::string{'\\', next};
        } else {
            written += text[i];
        }
    }
    out << written << '\n';
}

} // namespace rpx
