// A small program of the 32-bit target build through which host tests run the signature
// arithmetic as the installer runs it. Reads one request per line from standard input and
// answers each with one line:
//   verify KEY DIGEST BODY   1 or 0
//   mul A B | square A | invert A | sqrt A   the result in hex (sqrt: "none" for non-squares)
//   ladder N U               u([N]P) for P with u-coordinate U
//   two KEY S K              u([S]B + [K]Q), or "refused"
//   hash DATA                the signature hash of DATA (hex, any even length, "-" for none)
// All values are hex, little-endian as stored. "--probe" answers "ok" and exits.
#include "package/signature/field25519.h"
#include "package/signature/signature.h"
#include "package/signature/signature_hash.h"
#include "package/signature/signature_ladder.h"

#include "package/format/hex_text.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace installer;

using installer::hexText;

namespace {

bool fromHex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    if (text == "-")
        return true;
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1)
            return false;
        out.push_back(uint8_t(value));
    }
    return true;
}

std::string fieldHex(const FieldElement& f) {
    uint8_t b[32];
    fieldToBytes(b, f);
    return hexText(b, 32);
}

std::string answer(const std::vector<std::string>& words) {
    std::vector<std::vector<uint8_t>> args(words.size());
    for (size_t i = 1; i < words.size(); ++i)
        if (!fromHex(words[i], args[i]))
            return "bad hex";
    auto sized = [&](std::initializer_list<size_t> sizes) {
        if (args.size() != sizes.size() + 1)
            return false;
        size_t i = 1;
        for (size_t n : sizes)
            if (args[i++].size() != n)
                return false;
        return true;
    };
    const std::string& op = words[0];
    if (op == "verify" && sized({32, 20, 68}))
        return checkSignatureWithKey(args[2].data(), args[3].data(), args[1].data()) ? "1" : "0";
    if (op == "mul" && sized({32, 32}))
        return fieldHex(fieldMul(fieldFromBytes(args[1].data()), fieldFromBytes(args[2].data())));
    if (op == "square" && sized({32}))
        return fieldHex(fieldSquare(fieldFromBytes(args[1].data())));
    if (op == "invert" && sized({32}))
        return fieldHex(fieldInvert(fieldFromBytes(args[1].data())));
    if (op == "sqrt" && sized({32})) {
        FieldElement root;
        return fieldSqrtEven(root, fieldFromBytes(args[1].data())) ? fieldHex(root) : "none";
    }
    if (op == "ladder" && sized({32, 32})) {
        uint8_t u[32];
        montgomeryLadder(u, args[1].data(), args[2].data());
        return hexText(u, 32);
    }
    if (op == "two" && sized({32, 32, 32})) {
        SignatureKey key;
        uint8_t u[32];
        if (!signatureKeyFromBytes(key, args[1].data()) ||
            !twoScalarMultiple(u, key, args[2].data(), args[3].data()))
            return "refused";
        return hexText(u, 32);
    }
    if (op == "hash" && args.size() == 2) {
        uint8_t h[signatureHashSize];
        signatureHash(args[1].data(), args[1].size(), h);
        return hexText(h, sizeof h);
    }
    return "bad request";
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) {
        std::puts("ok");
        return 0;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        std::vector<std::string> words;
        for (char* word = std::strtok(line, " \t\r\n"); word;
             word = std::strtok(nullptr, " \t\r\n"))
            words.push_back(word);
        if (!words.empty())
            std::printf("%s\n", answer(words).c_str());
    }
    return 0;
}
