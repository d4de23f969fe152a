#pragma once
// Writing a whole buffer to a descriptor: a pipe or a file may take it in pieces, and a signal
// may interrupt a write before anything went.
#include <cstddef>

namespace installer {

// False when a write fails or writes nothing (errno says why).
bool writeAll(int fd, const unsigned char* data, size_t size);

} // namespace installer
