#include "tools/rpx/signer.h"

#include "package/signature/signature.h"
#include "package/signature/signature_hash.h"
#include "package/signature/signature_ladder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace installer;

namespace {

constexpr int32_t curveA = 486662;

// L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr uint8_t orderBytes[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// Numbers below 2^256 as eight 32-bit words, little-endian.
struct Words {
    uint32_t w[8] = {};
};

Words wordsFromBytes(const uint8_t b[32]) {
    Words n;
    for (int i = 0; i < 32; ++i)
        n.w[i / 4] |= uint32_t(b[i]) << (8 * (i % 4));
    return n;
}

void wordsToBytes(uint8_t b[32], const Words& n) {
    for (int i = 0; i < 32; ++i)
        b[i] = uint8_t(n.w[i / 4] >> (8 * (i % 4)));
}

bool lessThan(const Words& a, const Words& b) {
    for (int i = 7; i >= 0; --i)
        if (a.w[i] != b.w[i])
            return a.w[i] < b.w[i];
    return false;
}

Words subtract(const Words& a, const Words& b) { // a >= b
    Words r;
    uint64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t d = uint64_t(a.w[i]) - b.w[i] - borrow;
        r.w[i] = uint32_t(d);
        borrow = d >> 63;
    }
    return r;
}

Words add(const Words& a, const Words& b) { // no overflow past 2^256
    Words r;
    uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t s = uint64_t(a.w[i]) + b.w[i] + carry;
        r.w[i] = uint32_t(s);
        carry = s >> 32;
    }
    return r;
}

const Words& order() {
    static const Words l = wordsFromBytes(orderBytes);
    return l;
}

bool isZero(const uint8_t b[32]) {
    uint8_t any = 0;
    for (int i = 0; i < 32; ++i)
        any |= b[i];
    return any == 0;
}

bool readRandom(uint8_t* out, size_t length) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, out + done, length - done);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            break;
        if (n > 0)
            done += size_t(n);
    }
    close(fd);
    return done == length;
}

} // namespace

// Bit by bit from the top: r = 2r + bit, less L when it reaches L. r stays below L < 2^253.
void scalarReduce(uint8_t out[32], const uint8_t* in, unsigned length) {
    Words r;
    for (int bit = int(length) * 8 - 1; bit >= 0; --bit) {
        for (int i = 7; i > 0; --i)
            r.w[i] = r.w[i] << 1 | r.w[i - 1] >> 31;
        r.w[0] = r.w[0] << 1 | ((in[bit / 8] >> (bit % 8)) & 1);
        if (!lessThan(r, order()))
            r = subtract(r, order());
    }
    wordsToBytes(out, r);
}

// w - k x modulo L; w below L, k and x any 256-bit values.
void scalarMulSub(uint8_t out[32], const uint8_t w[32], const uint8_t k[32], const uint8_t x[32]) {
    Words a = wordsFromBytes(k), b = wordsFromBytes(x);
    uint32_t product[16] = {};
    for (int i = 0; i < 8; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < 8; ++j) {
            uint64_t t = uint64_t(a.w[i]) * b.w[j] + product[i + j] + carry;
            product[i + j] = uint32_t(t);
            carry = t >> 32;
        }
        product[i + 8] = uint32_t(carry);
    }
    uint8_t productBytes[64], kx[32];
    for (int i = 0; i < 64; ++i)
        productBytes[i] = uint8_t(product[i / 4] >> (8 * (i % 4)));
    scalarReduce(kx, productBytes, 64);
    Words ww = wordsFromBytes(w), p = wordsFromBytes(kx);
    Words r = lessThan(ww, p) ? subtract(add(ww, order()), p) : subtract(ww, p);
    wordsToBytes(out, r);
}

CurvePoint curveBasePoint() {
    return {fieldFromInt(9), fieldFromBytes(signatureBaseV), false};
}

// The chord-and-tangent law on v^2 = u^3 + A u^2 + u.
CurvePoint curveAdd(const CurvePoint& a, const CurvePoint& b) {
    if (a.infinity)
        return b;
    if (b.infinity)
        return a;
    FieldElement slope;
    if (fieldEqual(a.u, b.u)) {
        if (!fieldEqual(a.v, b.v) || fieldIsZero(a.v))
            return {fieldFromInt(0), fieldFromInt(0), true}; // P + (-P), or 2P of order two
        FieldElement u2 = fieldSquare(a.u);
        FieldElement numerator = fieldAdd(
            fieldAdd(fieldMulSmall(u2, 3), fieldMulSmall(a.u, 2 * curveA)), fieldFromInt(1));
        slope = fieldMul(fieldCarry(numerator), fieldInvert(fieldCarry(fieldAdd(a.v, a.v))));
    } else {
        slope = fieldMul(fieldSub(b.v, a.v), fieldInvert(fieldCarry(fieldSub(b.u, a.u))));
    }
    CurvePoint r;
    r.u = fieldCarry(fieldSub(fieldSub(fieldSquare(slope), fieldFromInt(curveA)),
                              fieldCarry(fieldAdd(a.u, b.u))));
    r.v = fieldCarry(fieldSub(fieldMul(slope, fieldSub(a.u, r.u)), a.v));
    return r;
}

CurvePoint curveMultiple(const CurvePoint& p, const uint8_t n[32]) {
    CurvePoint r{fieldFromInt(0), fieldFromInt(0), true};
    for (int bit = 255; bit >= 0; --bit) {
        r = curveAdd(r, r);
        if ((n[bit / 8] >> (bit % 8)) & 1)
            r = curveAdd(r, p);
    }
    return r;
}

namespace {

// The v of [x]B from the u of [x]B and of [x+1]B (the ladder's two results), after Okeya and
// Sakurai: v = ((u1 uB + 1)(u1 + uB + 2A) - 2A - (u1 - uB)^2 u2) / (2 vB). False when either
// multiple is the point at infinity.
bool baseMultipleV(FieldElement& v, FieldElement& u1, const uint8_t x[32]) {
    uint8_t xPlusOne[32], base[32] = {9}, u1Bytes[32], u2Bytes[32];
    std::memcpy(xPlusOne, x, 32);
    for (int i = 0; i < 32 && ++xPlusOne[i] == 0; ++i) {
    }
    if (isZero(x) || !lessThan(wordsFromBytes(xPlusOne), order()))
        return false; // x = 0 or x = L - 1
    montgomeryLadder(u1Bytes, x, base);
    montgomeryLadder(u2Bytes, xPlusOne, base);
    u1 = fieldFromBytes(u1Bytes);
    FieldElement u2 = fieldFromBytes(u2Bytes), uB = fieldFromInt(9);
    FieldElement twoA = fieldFromInt(2 * curveA);
    FieldElement first =
        fieldMul(fieldAdd(fieldMul(u1, uB), fieldFromInt(1)), fieldAdd(fieldAdd(u1, uB), twoA));
    FieldElement last = fieldMul(fieldSquare(fieldSub(u1, uB)), u2);
    FieldElement numerator = fieldCarry(fieldSub(fieldSub(first, twoA), last));
    FieldElement vB = fieldFromBytes(signatureBaseV);
    v = fieldMul(numerator, fieldInvert(fieldCarry(fieldAdd(vB, vB))));
    return true;
}

} // namespace

bool publicKeyFromSecret(const uint8_t secret[32], uint8_t publicKey[32]) {
    FieldElement v, u;
    if (!lessThan(wordsFromBytes(secret), order()) || !baseMultipleV(v, u, secret) || fieldIsOdd(v))
        return false;
    fieldToBytes(publicKey, u);
    SignatureKey key;
    return signatureKeyFromBytes(key, publicKey); // refuses Q = +-B
}

bool generateKeyPair(uint8_t secret[32], uint8_t publicKey[32]) {
    for (;;) {
        uint8_t seed[64];
        if (!readRandom(seed, sizeof seed))
            return false;
        scalarReduce(secret, seed, sizeof seed);
        std::memset(seed, 0, sizeof seed);
        FieldElement v, u;
        if (!baseMultipleV(v, u, secret))
            continue;
        if (fieldIsOdd(v)) { // the check takes the even root: use -x, whose [-x]B is that
            uint8_t zero[32] = {}, one[32] = {1};
            scalarMulSub(secret, zero, one, secret);
        }
        if (publicKeyFromSecret(secret, publicKey))
            return true;
    }
}

bool signDigestWithNonce(const uint8_t secret[32], const uint8_t digest[20],
                         const uint8_t nonceSeed[64], uint8_t body[68]) {
    uint8_t w[32];
    scalarReduce(w, nonceSeed, 64);
    if (isZero(w))
        return false;
    // R = [w]B; r = the first 16 bytes of H(u of R).
    uint8_t base[32] = {9}, uR[32], hashOfR[signatureHashSize];
    montgomeryLadder(uR, w, base);
    signatureHash(uR, sizeof uR, hashOfR);
    // k as the verifier derives it from the digest and r; then s = w - k x modulo L, so that
    // [s]B + [k]Q = [w]B = R.
    uint8_t k[signatureHashSize];
    signatureHash(digest, 20, k);
    for (int i = 0; i < 16; ++i)
        k[8 + i] ^= hashOfR[i];
    k[0] &= 0xF8;
    k[31] = (k[31] & 0x7F) | 0x40;
    std::memcpy(body, digest, 20);
    std::memcpy(body + 20, hashOfR, 16);
    scalarMulSub(body + 36, w, k, secret);
    std::memset(w, 0, sizeof w);
    return true;
}

bool signDigest(const uint8_t secret[32], const uint8_t digest[20], uint8_t body[68]) {
    for (;;) {
        uint8_t seed[64];
        if (!readRandom(seed, sizeof seed))
            return false;
        bool made = signDigestWithNonce(secret, digest, seed, body);
        std::memset(seed, 0, sizeof seed);
        if (made)
            return true;
    }
}

bool writeKeyFile(const std::string& path, const uint8_t key[32], bool secret, std::string& error) {
    static const char digits[] = "0123456789abcdef";
    char text[65];
    for (int i = 0; i < 32; ++i) {
        text[2 * i] = digits[key[i] >> 4];
        text[2 * i + 1] = digits[key[i] & 15];
    }
    text[64] = '\n';
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (secret ? O_EXCL : O_TRUNC);
    int fd = open(path.c_str(), flags, secret ? 0600 : 0644);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno) +
                (secret && errno == EEXIST ? " (a secret key is never overwritten)" : "");
        return false;
    }
    bool ok = write(fd, text, sizeof text) == ssize_t(sizeof text);
    int savedErrno = errno;
    ok = close(fd) == 0 && ok;
    std::memset(text, 0, sizeof text);
    if (!ok) {
        error = path + ": cannot write key: " + std::strerror(savedErrno ? savedErrno : errno);
        unlink(path.c_str());
    }
    return ok;
}

bool readKeyFile(const std::string& path, uint8_t key[32], std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    char text[68]; // 64 digits, an optional newline (CR LF too), and one byte to spot more
    ssize_t n = 0, got;
    while (n < ssize_t(sizeof text) && (got = read(fd, text + n, sizeof text - size_t(n))) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        n += got;
    }
    close(fd);
    ssize_t end = n;
    while (end > 64 && (text[end - 1] == '\n' || text[end - 1] == '\r'))
        --end;
    bool ok = end == 64;
    for (int i = 0; ok && i < 64; ++i) {
        char c = text[i];
        int value = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (value < 0)
            ok = false;
        else if (i % 2 == 0)
            key[i / 2] = uint8_t(value << 4);
        else
            key[i / 2] |= uint8_t(value);
    }
    std::memset(text, 0, sizeof text);
    if (!ok)
        error = path + ": not a key file (64 hex digits and a newline expected)";
    return ok;
}
