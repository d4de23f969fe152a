// Throughput of reading a large package's file archive through the reader (SHA-1 of every
// byte, tee off) and the inflating stream, against bare zlib inflate of the same archive.
// Figures are bytes of inflated archive per second.
#include "package/format/reader.h"
#include "package/format/writer.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>

using namespace installer;

namespace {

constexpr size_t archiveSize = 32 << 20;

// Looks like a system's files: runs of words and code-like bytes, some noise, ~3:1 with zlib.
const std::string& inflated() {
    static const std::string data = [] {
        std::mt19937 random(42);
        std::vector<std::string> words;
        for (int i = 0; i < 512; ++i) {
            std::string w;
            for (int n = 3 + int(random() % 9); n > 0; --n)
                w += char(random() % 96 + 32);
            words.push_back(w);
        }
        std::string s;
        s.reserve(archiveSize);
        while (s.size() < archiveSize) {
            s += words[random() % words.size()];
            if (random() % 3 == 0)
                s += char(random());
        }
        s.resize(archiveSize);
        return s;
    }();
    return data;
}

const std::string& compressed() {
    static const std::string data = [] {
        const std::string& in = inflated();
        uLongf size = compressBound(uLong(in.size()));
        std::string out(size, '\0');
        compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(in.data()), uLong(in.size()), 9);
        out.resize(size);
        return out;
    }();
    return data;
}

const std::string& package() {
    static const std::string data =
        packageFileBytes(partBytes(partHeader, headerBodyBytes({"big", 0x01006600, 1})) +
                         partBytes(partArchive, compressed()));
    return data;
}

// Reads from memory without copying it, like a file already in the page cache.
class MemoryBuffer : public std::streambuf {
public:
    explicit MemoryBuffer(const std::string& s) {
        char* p = const_cast<char*>(s.data());
        setg(p, p, p + s.size());
    }
};

void bareInflate(benchmark::State& state) {
    const std::string& in = compressed();
    std::vector<unsigned char> out(size_t(state.range(0)));
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = uInt(in.size());
        int result = Z_OK;
        while (result == Z_OK) {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            result = inflate(&z, Z_NO_FLUSH);
        }
        benchmark::DoNotOptimize(out.data());
        inflateEnd(&z);
        if (z.total_out != archiveSize)
            state.SkipWithError("inflate failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(archiveSize));
}

// Argument 1: SHA-1 with the processor's SHA instructions (where present); 0: portable code,
// as on processors without them.
void readerInflate(benchmark::State& state) {
    selectSha1Hardware(state.range(0) != 0);
    const std::string& file = package();
    std::vector<char> out(16384);
    for (auto _ : state) {
        MemoryBuffer source(file);
        PackageReader reader(&source, true);
        reader.want(partArchive);
        reader.next();
        uint64_t total = 0;
        {
            InflatingStream archive(reader);
            while (archive.read(out.data(), std::streamsize(out.size())) || archive.gcount() > 0)
                total += uint64_t(archive.gcount());
        }
        reader.next();
        uint8_t digest[20];
        benchmark::DoNotOptimize(reader.takeDigest(digest));
        if (total != archiveSize)
            state.SkipWithError("reader failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(archiveSize));
}

void sha1Only(benchmark::State& state) {
    selectSha1Hardware(state.range(0) != 0);
    const std::string& in = compressed();
    for (auto _ : state) {
        Sha1 h;
        h.update(in.data(), in.size());
        uint8_t digest[20];
        h.finish(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

} // namespace

BENCHMARK(bareInflate)->Arg(4096)->Arg(16384)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(readerInflate)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(sha1Only)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
