// The signature arithmetic as the 32-bit installer runs it: requests go to a program of the
// target build (under a user-mode emulator when this kernel cannot run 32-bit programs) and its
// answers must equal the host's, including the verdicts on signatures made here.
#include "tools/rpx/signer.h"

#include "package/format/hex_text.h"
#include "package/signature/signature.h"
#include "package/signature/signature_hash.h"
#include "package/signature/signature_ladder.h"
#include "testbed/support/command_output.h"
#include "testbed/support/test_bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace installer;

using installer::hexText;

namespace {

template <size_t N> std::string hex(const std::array<uint8_t, N>& a) {
    return hexText(a.data(), N);
}

std::string fieldHex(const FieldElement& f) {
    uint8_t b[32];
    fieldToBytes(b, f);
    return hexText(b, 32);
}

std::string run(const std::string& command) {
    return runCommand(command).output;
}

// Sends the requests in one run and returns the answers, one per request.
std::vector<std::string> askTarget(const std::vector<std::string>& requests) {
    const std::string program = SIGNATURE_CROSS_CHECK;
    EXPECT_EQ(access(program.c_str(), X_OK), 0)
        << program << " missing: was the 32-bit build made?";
    std::string runner = run(program + " --probe 2>/dev/null") == "ok\n" ? "" : "qemu-i386-static ";
    char path[] = "/tmp/signature-requests-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    {
        std::ofstream file(path);
        for (const std::string& r : requests)
            file << r << "\n";
    }
    std::istringstream answers(run(runner + program + " < " + path));
    unlink(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(answers, line);)
        lines.push_back(line);
    EXPECT_EQ(lines.size(), requests.size()) << "runner: '" << runner << "'";
    lines.resize(requests.size());
    return lines;
}

TEST(ThirtyTwoBitInstaller, FieldArithmeticAndLaddersGiveTheHostsResults) {
    std::mt19937 random(31);
    std::vector<std::string> requests, expected;
    for (int i = 0; i < 150; ++i) {
        auto a = randomArray<32>(random), b = randomArray<32>(random);
        if (i % 10 == 0)
            a.fill(0xFF);
        FieldElement fa = fieldFromBytes(a.data()), fb = fieldFromBytes(b.data()), root;
        requests.push_back("mul " + hex(a) + " " + hex(b));
        expected.push_back(fieldHex(fieldMul(fa, fb)));
        requests.push_back("square " + hex(a));
        expected.push_back(fieldHex(fieldSquare(fa)));
        requests.push_back("sqrt " + hex(b));
        expected.push_back(fieldSqrtEven(root, fb) ? fieldHex(root) : "none");
        if (i % 5 == 0) {
            requests.push_back("invert " + hex(a));
            expected.push_back(fieldHex(fieldInvert(fa)));
            std::array<uint8_t, 32> u;
            requests.push_back("ladder " + hex(a) + " " + hex(b));
            montgomeryLadder(u.data(), a.data(), b.data());
            expected.push_back(hex(u));
        }
        std::vector<uint8_t> data(random() % 150);
        for (auto& byte : data)
            byte = uint8_t(random());
        uint8_t h[signatureHashSize];
        signatureHash(data.data(), data.size(), h);
        requests.push_back("hash " +
                           (data.empty() ? std::string("-") : hexText(data.data(), data.size())));
        expected.push_back(hexText(h, sizeof h));
    }
    std::vector<std::string> answers = askTarget(requests);
    for (size_t i = 0; i < requests.size(); ++i)
        ASSERT_EQ(answers[i], expected[i]) << requests[i];
}

TEST(ThirtyTwoBitInstaller, AcceptsSignaturesMadeHereAndRejectsChangedOnes) {
    std::mt19937 random(32);
    std::vector<std::string> requests, expected;
    for (int i = 0; i < 10; ++i) {
        std::array<uint8_t, 32> secret, publicKey;
        ASSERT_TRUE(generateKeyPair(secret.data(), publicKey.data()));
        for (int j = 0; j < 4; ++j) {
            auto digest = randomArray<20>(random);
            std::array<uint8_t, 68> body;
            ASSERT_TRUE(signDigest(secret.data(), digest.data(), body.data()));
            requests.push_back("verify " + hex(publicKey) + " " + hex(digest) + " " + hex(body));
            expected.push_back("1");
            body[20 + random() % 48] ^= uint8_t(1 + random() % 255);
            requests.push_back("verify " + hex(publicKey) + " " + hex(digest) + " " + hex(body));
            expected.push_back("0");
        }
        auto s = randomArray<32>(random), k = randomArray<32>(random);
        SignatureKey key;
        std::array<uint8_t, 32> u;
        ASSERT_TRUE(signatureKeyFromBytes(key, publicKey.data()));
        ASSERT_TRUE(twoScalarMultiple(u.data(), key, s.data(), k.data()));
        requests.push_back("two " + hex(publicKey) + " " + hex(s) + " " + hex(k));
        expected.push_back(hex(u));
    }
    std::vector<std::string> answers = askTarget(requests);
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(answers[i], expected[i]) << requests[i];
}

} // namespace
