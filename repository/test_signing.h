// Test helper: signing package bytes with the development key, whose public half is the key
// built into the installer, so that test packages pass verification like released ones; and
// running the package tool itself for packages made the way a user makes them.
#pragma once

#include "package/sha1.h"
#include "package/writer.h"
#include "tools/rpx/signer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testsign {

inline const uint8_t* developmentKey() {
    static uint8_t secret[32];
    static bool loaded = [] {
        std::string error;
        return readKeyFile(DEV_SECRET_KEY, secret, error);
    }();
    EXPECT_TRUE(loaded) << "cannot read " << DEV_SECRET_KEY;
    return secret;
}

// The parts of one package (kind-1 header through its last part) with a signature part added.
inline std::string signParts(const std::string& parts) {
    std::string header = installer::partHeaderBytes(installer::partSignature, 68);
    installer::Sha1 hash;
    hash.update(parts.data(), parts.size());
    hash.update(header.data(), header.size());
    uint8_t digest[20], body[68];
    hash.finish(digest);
    EXPECT_TRUE(signDigest(developmentKey(), digest, body));
    return parts + header + std::string(reinterpret_cast<char*>(body), sizeof body);
}

inline std::string signedFile(const std::string& parts, uint32_t magic = installer::packageMagic) {
    return installer::packageFileBytes(signParts(parts), magic);
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the package tool with `arguments`; true when it exits 0.
inline bool rpx(const std::string& arguments) {
    std::string command = std::string(RPX_BINARY) + " " + arguments + " >/dev/null";
    return std::system(command.c_str()) == 0;
}

// Signs a package file in place with the package tool and the development key.
inline bool rpxSign(const std::string& path) {
    return rpx("sign --key " + std::string(DEV_SECRET_KEY) + " " + path);
}

} // namespace testsign
