// Signature check speed beside libsodium's Ed25519 verification of a message of the same size,
// and the field operations it is made of. Not a test: run by hand, with --benchmark_repetitions=5
// (the closing line compares the medians; the check is meant to take at most 1.5 times as long).
#include "package/signature/signature.h"
#include "package/signature/field25519.h"
#include "testbed/support/signature_case.h"

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using namespace installer;

namespace {

using signature_fixture::body;
using signature_fixture::devKey;
using signature_fixture::digest;

// The installer's own check: the compiled-in key (the development key in a default build),
// decoded once.
void checkSignatureSpeed(benchmark::State& state) {
    for (auto _ : state) {
        bool ok = checkSignature(digest.data(), body.data());
        if (!ok)
            state.SkipWithError("signature did not verify (built with another key?)");
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(checkSignatureSpeed);

// With a key given each time, decoded each time as libsodium does.
void checkSignatureWithKeySpeed(benchmark::State& state) {
    for (auto _ : state) {
        bool ok = checkSignatureWithKey(digest.data(), body.data(), devKey.data());
        if (!ok)
            state.SkipWithError("signature did not verify");
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(checkSignatureWithKeySpeed);

void libsodiumVerifySpeed(benchmark::State& state) {
    if (sodium_init() < 0)
        state.SkipWithError("sodium_init failed");
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES];
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_keypair(publicKey, secret);
    crypto_sign_detached(signature, nullptr, digest.data(), digest.size(), secret);
    for (auto _ : state) {
        int result =
            crypto_sign_verify_detached(signature, digest.data(), digest.size(), publicKey);
        if (result != 0)
            state.SkipWithError("libsodium signature did not verify");
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(libsodiumVerifySpeed);

FieldElement someElement(uint8_t seed) {
    std::array<uint8_t, 32> bytes;
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(seed * 31 + i * 17);
    return fieldFromBytes(bytes.data());
}

void fieldMulSpeed(benchmark::State& state) {
    FieldElement a = someElement(1), b = someElement(2);
    for (auto _ : state) {
        a = fieldMul(a, b);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(fieldMulSpeed);

void fieldSquareSpeed(benchmark::State& state) {
    FieldElement a = someElement(3);
    for (auto _ : state) {
        a = fieldSquare(a);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(fieldSquareSpeed);

void fieldInvertSpeed(benchmark::State& state) {
    FieldElement a = someElement(4);
    for (auto _ : state) {
        a = fieldInvert(a);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(fieldInvertSpeed);

// The console table, followed by the check's CPU time as a multiple of libsodium's: medians when
// there are repetitions, single runs otherwise.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[name] = run.GetAdjustedCPUTime();
            else if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                singles[name] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const bool repeated = !medians.empty();
        std::map<std::string, double>& times = repeated ? medians : singles;
        if (times.count("checkSignatureSpeed") && times.count("libsodiumVerifySpeed"))
            std::printf("checkSignature / libsodium, %s CPU time: %.2f\n",
                        repeated ? "median" : "single-run",
                        times["checkSignatureSpeed"] / times["libsodiumVerifySpeed"]);
    }

private:
    std::map<std::string, double> medians, singles;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("field arithmetic", fieldRepresentation());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
