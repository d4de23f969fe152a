// Signing every package of a package file in place, and checking that every package of a file
// verifies.
#pragma once

#include <array>
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

namespace rpx {

using Digest = std::array<uint8_t, 20>;

// Appends a signature part to every package of the file (each member of a bundle on its own)
// and rewrites the file. An already signed package is an error unless `resign`, which replaces
// its signature. `count` receives the number of packages signed.
bool signFile(const std::string& path, const uint8_t secret[32], bool resign, unsigned& count,
              std::string& error);

// True when every package of the stream verifies: by its signature under `publicKey` (null:
// the key built into the installer), or, when unsigned, by its digest being in `known` (null:
// unsigned packages fail). The stream must be a whole package file: nothing cut short, its
// declared length right, at least one package, nothing after a signature but the next package.
bool verifyPackageStream(std::streambuf* in, const uint8_t* publicKey,
                         const std::vector<Digest>* known, unsigned& count, std::string& error);

// Reads a text file of hex SHA-1 digests, one per line (blank lines and # comments allowed).
bool readDigestList(const std::string& path, std::vector<Digest>& digests, std::string& error);

} // namespace rpx
