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

// Requests for the target program, each with the host's answer.
struct Requests {
    std::vector<std::string> asked, expected;
    void add(const std::string& request, const std::string& answer) {
        asked.push_back(request);
        expected.push_back(answer);
    }
};

// Sends the requests in one run; every answer must be the host's.
void expectHostAnswers(const Requests& requests) {
    const std::string program = SIGNATURE_CROSS_CHECK;
    EXPECT_EQ(access(program.c_str(), X_OK), 0)
        << program << " missing: was the 32-bit build made?";
    std::string runner =
        runCommand(program + " --probe 2>/dev/null").output == "ok\n" ? "" : "qemu-i386-static ";
    char path[] = "/tmp/signature-requests-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    {
        std::ofstream file(path);
        for (const std::string& r : requests.asked)
            file << r << "\n";
    }
    std::istringstream answers(runCommand(runner + program + " < " + path).output);
    unlink(path);
    size_t i = 0;
    for (std::string line; std::getline(answers, line) && i < requests.asked.size(); ++i)
        ASSERT_EQ(line, requests.expected[i]) << requests.asked[i];
    EXPECT_EQ(i, requests.asked.size()) << "runner: '" << runner << "'";
}

TEST(ThirtyTwoBitInstaller, FieldArithmeticAndLaddersGiveTheHostsResults) {
    std::mt19937 random(31);
    Requests requests;
    for (int i = 0; i < 150; ++i) {
        auto a = randomArray<32>(random), b = randomArray<32>(random);
        if (i % 10 == 0)
            a.fill(0xFF);
        FieldElement fa = fieldFromBytes(a.data()), fb = fieldFromBytes(b.data()), root;
        requests.add("mul " + hex(a) + " " + hex(b), fieldHex(fieldMul(fa, fb)));
        requests.add("square " + hex(a), fieldHex(fieldSquare(fa)));
        requests.add("sqrt " + hex(b), fieldSqrtEven(root, fb) ? fieldHex(root) : "none");
        if (i % 5 == 0) {
            requests.add("invert " + hex(a), fieldHex(fieldInvert(fa)));
            std::array<uint8_t, 32> u;
            montgomeryLadder(u.data(), a.data(), b.data());
            requests.add("ladder " + hex(a) + " " + hex(b), hex(u));
        }
        std::string text = randomBytes(random, random() % 150);
        auto data = reinterpret_cast<const uint8_t*>(text.data());
        uint8_t h[signatureHashSize];
        signatureHash(data, text.size(), h);
        requests.add("hash " + (text.empty() ? "-" : hexText(data, text.size())),
                     hexText(h, sizeof h));
    }
    expectHostAnswers(requests);
}

TEST(ThirtyTwoBitInstaller, AcceptsSignaturesMadeHereAndRejectsChangedOnes) {
    std::mt19937 random(32);
    Requests requests;
    for (int i = 0; i < 10; ++i) {
        std::array<uint8_t, 32> secret, publicKey;
        ASSERT_TRUE(generateKeyPair(secret.data(), publicKey.data()));
        for (int j = 0; j < 4; ++j) {
            auto digest = randomArray<20>(random);
            std::array<uint8_t, 68> body;
            ASSERT_TRUE(signDigest(secret.data(), digest.data(), body.data()));
            requests.add("verify " + hex(publicKey) + " " + hex(digest) + " " + hex(body), "1");
            body[20 + random() % 48] ^= uint8_t(1 + random() % 255);
            requests.add("verify " + hex(publicKey) + " " + hex(digest) + " " + hex(body), "0");
        }
        auto s = randomArray<32>(random), k = randomArray<32>(random);
        SignatureKey key;
        std::array<uint8_t, 32> u;
        ASSERT_TRUE(signatureKeyFromBytes(key, publicKey.data()));
        ASSERT_TRUE(twoScalarMultiple(u.data(), key, s.data(), k.data()));
        requests.add("two " + hex(publicKey) + " " + hex(s) + " " + hex(k), hex(u));
    }
    expectHostAnswers(requests);
}

} // namespace
