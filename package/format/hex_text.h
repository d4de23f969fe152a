// Bytes as lower-case hex digits, the way digests and keys are shown and stored as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace installer {

std::string hexText(const uint8_t* data, size_t size);

} // namespace installer
