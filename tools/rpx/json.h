// rpx's JSON: documents are nlohmann::ordered_json values (fields stay in the order they are
// set), written the way rpx always wrote them.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string_view>

namespace rpx {

using Json = nlohmann::ordered_json;

// A string of bytes, not of text: each byte becomes the code point of the same value, so that
// any name or script gives valid JSON and its bytes can be recovered.
Json byteString(std::string_view bytes);

// The value on one line and a newline: no blanks, every character outside printable ASCII as a
// \u escape of four lowercase hex digits (\n, \t, \r, \" and \\ as such).
void writeJson(std::ostream& out, const Json& value);

} // namespace rpx
