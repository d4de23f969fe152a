// The in-process figures of the benchmark, each timed beside its peer in alternating runs so
// that a noisy neighbour hits both alike:
//   reader  — the package reader (SHA-1 of every byte, then the inflating stream) over a
//             package's file archive, against bare zlib inflate of the same bytes with the
//             same 16 KB buffers; the package is held in memory, as a file in the page cache;
//   inflate — bare inflate of a package's archive, read from the file, nothing printed (timed
//             from outside, beside the installations);
//   verify  — the installer's signature check against libsodium's Ed25519 verification of a
//             message of the same size.
// Each run prints one sample line "FIGURE<TAB>SUBJECT<TAB>VALUE" (processor seconds) for
// bench_report.
#include "package/format/reader.h"
#include "package/format/sha1.h"
#include "package/signature/signature.h"
#include "testbed/support/signature_case.h"

#include <CLI/CLI.hpp>
#include <sodium.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <time.h>
#include <vector>

using namespace installer;

namespace {

// The inflating stream's own buffer size, so that both sides make the same number of calls.
constexpr size_t bufferSize = 16384;

// Processor time of this process: on a shared machine a neighbour's load stretches the wall
// clock of either side by chance, but hardly the cycles each side spends.
double cpuNow() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void sample(const char* figure, const char* subject, double value) {
    std::printf("%s\t%s\t%.9g\n", figure, subject, value);
    std::fflush(stdout);
}

// Reads from memory without copying, like a file already in the page cache.
class MemoryBuffer : public std::streambuf {
public:
    explicit MemoryBuffer(const std::string& s) {
        char* p = const_cast<char*>(s.data());
        setg(p, p, p + s.size());
    }
};

// The compressed archive of the package's first file archive part; empty when there is none.
std::string archiveOf(const std::string& file) {
    MemoryBuffer source(file);
    PackageReader reader(&source, false);
    reader.want(partArchive);
    if (reader.next() != partArchive)
        return {};
    return file.substr(reader.position(), reader.partLength());
}

// Inflated bytes, or 0 on a damaged stream.
uint64_t bareInflate(const std::string& in) {
    std::vector<unsigned char> out(bufferSize);
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return 0;
    const unsigned char* next = reinterpret_cast<const unsigned char*>(in.data());
    size_t left = in.size();
    int result = Z_OK;
    while (result == Z_OK) {
        if (z.avail_in == 0 && left > 0) {
            size_t take = left < bufferSize ? left : bufferSize;
            z.next_in = const_cast<unsigned char*>(next);
            z.avail_in = uInt(take);
            next += take;
            left -= take;
        }
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        result = inflate(&z, Z_NO_FLUSH);
        if (result == Z_BUF_ERROR && z.avail_in == 0 && left > 0)
            result = Z_OK;
    }
    uint64_t total = z.total_out;
    inflateEnd(&z);
    return result == Z_STREAM_END ? total : 0;
}

// What an installation reads: every part hashed, the archive inflated; 0 on any failure.
uint64_t readerInflate(const std::string& file) {
    MemoryBuffer source(file);
    PackageReader reader(&source, true);
    reader.want(partArchive);
    if (reader.next() != partArchive)
        return 0;
    std::vector<char> out(bufferSize);
    uint64_t total = 0;
    {
        InflatingStream archive(reader);
        while (archive.read(out.data(), std::streamsize(out.size())) || archive.gcount() > 0)
            total += uint64_t(archive.gcount());
    }
    while (reader.next() >= 0) {
    }
    uint8_t digest[20];
    return reader.takeDigest(digest) ? total : 0;
}

// In one read of the whole size: the bare inflate process is the pipeline's limit, and a
// byte-wise read would make it look slower than it is.
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string data(size_t(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(data.data(), std::streamsize(data.size()));
    return in ? data : std::string();
}

// Bare inflate of a package file's archive as a process of its own, timed from outside beside
// the installations: the limit of the installation's pipeline.
int inflateFigure(const std::string& path) {
    std::string archive = archiveOf(readFile(path));
    if (archive.empty() || bareInflate(archive) == 0) {
        std::fprintf(stderr, "bench_kernels: %s: no file archive to inflate\n", path.c_str());
        return 1;
    }
    return 0;
}

int readerFigure(const std::string& path, int runs) {
    std::string file = readFile(path);
    std::string archive = archiveOf(file);
    if (archive.empty()) {
        std::fprintf(stderr, "bench_kernels: %s: no file archive\n", path.c_str());
        return 1;
    }
    uint64_t expected = bareInflate(archive);
    if (expected == 0 || readerInflate(file) != expected) {
        std::fprintf(stderr, "bench_kernels: %s: reader and zlib disagree\n", path.c_str());
        return 1;
    }
    sample("archive", "inflated-bytes", double(expected));
    for (int i = 0; i < runs; ++i) {
        double start = cpuNow();
        bareInflate(archive);
        sample("reader", "inflate", cpuNow() - start);
        start = cpuNow();
        readerInflate(file);
        sample("reader", "reader", cpuNow() - start);
    }
    return 0;
}

// Seconds per verification over a batch long enough for the clock.
template <typename Verify> double perCall(Verify verify, int calls) {
    double start = cpuNow();
    for (int i = 0; i < calls; ++i)
        if (!verify())
            return -1;
    return (cpuNow() - start) / calls;
}

int verifyFigure(int runs, int calls) {
    if (sodium_init() < 0)
        return std::fprintf(stderr, "bench_kernels: sodium_init failed\n"), 1;
    using signature_fixture::body;
    using signature_fixture::devKey;
    using signature_fixture::digest;
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES];
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_keypair(publicKey, secret);
    crypto_sign_detached(signature, nullptr, digest.data(), digest.size(), secret);
    // The key given each time, decoded each time, as libsodium does.
    auto ours = [&] { return checkSignatureWithKey(digest.data(), body.data(), devKey.data()); };
    auto theirs = [&] {
        return crypto_sign_verify_detached(signature, digest.data(), digest.size(), publicKey) == 0;
    };
    for (int i = 0; i < runs; ++i) {
        double a = perCall(theirs, calls), b = perCall(ours, calls);
        if (a < 0 || b < 0)
            return std::fprintf(stderr, "bench_kernels: a signature did not verify\n"), 1;
        sample("verify", "libsodium", a);
        sample("verify", "installer", b);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"In-process figures of the benchmark, as sample lines"};
    app.require_subcommand(1);
    int runs = 5;
    app.add_option("--runs", runs, "Runs of each side")->check(CLI::PositiveNumber);
    std::string package;
    bool portableSha1 = false;
    CLI::App* reader = app.add_subcommand("reader", "Package reader against bare inflate");
    reader->add_option("package", package, "Package file")->required()->check(CLI::ExistingFile);
    reader->add_flag("--portable-sha1", portableSha1, "SHA-1 without the processor's instructions");
    CLI::App* inflateOnly = app.add_subcommand("inflate", "Bare inflate of a package's archive");
    inflateOnly->add_option("package", package, "Package file")
        ->required()
        ->check(CLI::ExistingFile);
    int calls = 2000;
    CLI::App* verify = app.add_subcommand("verify", "Signature check against libsodium");
    verify->add_option("--calls", calls, "Verifications per run")->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);
    if (inflateOnly->parsed())
        return inflateFigure(package);
    if (reader->parsed()) {
        // True when the kind asked for is in use: hardware only when asked for and present.
        bool hardware = selectSha1Hardware(!portableSha1) && !portableSha1;
        std::printf("note\treader\tSHA-1 %s the processor's SHA instructions\n",
                    hardware ? "with" : "without");
        return readerFigure(package, runs);
    }
    return verifyFigure(runs, calls);
}
