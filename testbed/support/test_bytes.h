#pragma once
// Bytes for tests: from hex digits, and random ones from a seeded generator so that a failure
// repeats run after run.
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

template <size_t N> std::array<uint8_t, N> fromHex(const std::string& hex) {
    std::array<uint8_t, N> bytes{};
    for (size_t i = 0; i < N; ++i)
        bytes[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return bytes;
}

template <size_t N> std::array<uint8_t, N> randomArray(std::mt19937& random) {
    std::array<uint8_t, N> bytes;
    for (auto& b : bytes)
        b = uint8_t(random());
    return bytes;
}

inline std::string randomBytes(std::mt19937& random, size_t n) {
    std::string bytes(n, '\0');
    for (auto& c : bytes)
        c = char(random());
    return bytes;
}

inline std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    return randomBytes(random, n);
}
