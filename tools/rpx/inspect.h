// Showing what a package file holds: every part with its decoded fields, requirement lists,
// scripts, file entries, and per package its digest and signature verdict.
#pragma once

#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>

namespace rpx {

// Writes the description of the package stream to `out`, as text or as one JSON object. A
// signature is checked under `publicKey` (null: the key built into the installer). False when
// the file is damaged; what could be read is shown all the same, and `error` says what is
// wrong.
bool inspectPackageStream(std::streambuf* in, const std::string& name, bool json,
                          const uint8_t* publicKey, std::ostream& out, std::string& error);

} // namespace rpx
