// The signature check on a fixed signature made with the development key pair (keys/dev.sec),
// so that the convention between signer and installer cannot drift unnoticed; and the
// generator of the compiled-in key.
#include "package/signature/signature.h"
#include "package/signature_public_key.h"
#include "testbed/support/command_output.h"
#include "testbed/support/signature_case.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace installer;

namespace {

using signature_fixture::body;
using signature_fixture::devKey;
using signature_fixture::digest;

TEST(SignatureCheck, ASignatureMadeWithTheDevelopmentKeyVerifies) {
    EXPECT_TRUE(checkSignatureWithKey(digest.data(), body.data(), devKey.data()));
}

TEST(SignatureCheck, TheInstallerUsesTheKeyChosenAtConfigureTime) {
    bool devBuild = std::memcmp(installerPublicKey, devKey.data(), 32) == 0;
    EXPECT_EQ(checkSignature(digest.data(), body.data()), devBuild);
}

TEST(SignatureCheck, KeysThatAreNoUsablePointRejectEverySignature) {
    // Order two, B itself, a point of the twist, and 2^256 - 1 (also on the twist).
    std::array<uint8_t, 32> zero{}, nine{9}, twist{2}, ones;
    ones.fill(0xFF);
    for (const auto& key : {zero, nine, twist, ones})
        EXPECT_FALSE(checkSignatureWithKey(digest.data(), body.data(), key.data()));
}

// Runs the public-key header generator on a key file holding `content`; returns its exit
// status and either the header or the error output.
std::pair<int, std::string> generateKeyHeader(const std::string& content) {
    char dir[] = "/tmp/public-key-XXXXXX";
    if (!mkdtemp(dir))
        return {-1, "mkdtemp failed"};
    std::string key = std::string(dir) + "/release.pub", header = std::string(dir) + "/key.h";
    std::ofstream(key, std::ios::binary) << content;
    std::string command = std::string(CMAKE_COMMAND_PATH) + " -DKEY_FILE=" + key +
                          " -DOUTPUT=" + header + " -P " + PUBLIC_KEY_GENERATOR + " 2>&1";
    auto [status, output] = runCommand(command);
    if (status == 0) {
        std::ifstream in(header);
        output.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::remove(header.c_str());
    std::remove(key.c_str());
    rmdir(dir);
    return {status, output};
}

TEST(PublicKeyGenerator, TakesHexAsKeygenWritesItOrTheRawBytesAndRefusesAnythingElse) {
    const std::string expected = "{0x57, 0x5c, 0x0c, 0x91,";
    auto [hexStatus, hexHeader] =
        generateKeyHeader("575C0C9167df26e650e99526a5b67b4933b4d7f9463eaab2545484fd7dd24a6b\n");
    ASSERT_EQ(hexStatus, 0) << hexHeader;
    EXPECT_NE(hexHeader.find(expected), std::string::npos) << hexHeader;
    auto [rawStatus, rawHeader] =
        generateKeyHeader(std::string(reinterpret_cast<const char*>(devKey.data()), 32));
    ASSERT_EQ(rawStatus, 0) << rawHeader;
    EXPECT_EQ(rawHeader.substr(rawHeader.find('{')), hexHeader.substr(hexHeader.find('{')));
    for (const char* bad :
         {"575c0c91", "575c0c9167df26e650e99526a5b67b4933b4d7f9463eaab2545484fd7dd24a6", "",
          "not a key at all"}) {
        auto [status, output] = generateKeyHeader(bad);
        EXPECT_NE(status, 0) << bad;
        EXPECT_NE(output.find("release.pub: "), std::string::npos) << output;
    }
}

} // namespace
