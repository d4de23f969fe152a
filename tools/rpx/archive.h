// The compressed file archive of a package: every entry's 30-byte header, name and data,
// deflated as one zlib stream with fixed settings, so that the same entries always give the
// same bytes.
#pragma once

#include "tools/rpx/tree.h"

#include <cstdio>
#include <string>
#include <vector>

namespace rpx {

// Writes the archive to `out`; `size` receives its length. A regular file whose size changed
// since it was collected is an error, as is any read or write failure.
bool writeArchive(const std::vector<TreeEntry>& entries, std::FILE* out, uint64_t& size,
                  std::string& error);

} // namespace rpx
