// A large file tree made the same every time, for the installation figures: FILES files of
// MEGABYTES in total, a hundred to a folder, sizes spread between a quarter and seven quarters
// of the mean. Even files are word text (compresses about 3:1, like scripts and documents),
// odd files are noise (like already-compressed data), so deflate works on both kinds.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

bool makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "bench_tree: %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes the benchmark's deterministic file tree"};
    std::string root;
    unsigned megabytes = 128, files = 2500;
    app.add_option("root", root, "Folder to fill (made when missing)")->required();
    app.add_option("--megabytes", megabytes, "Total size")->check(CLI::PositiveNumber);
    app.add_option("--files", files, "Number of files")->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    std::mt19937_64 random(20261207);
    std::vector<std::string> words;
    for (int i = 0; i < 2048; ++i) {
        std::string w;
        for (int n = 2 + int(random() % 10); n > 0; --n)
            w += char('a' + random() % 26);
        words.push_back(w + (random() % 8 == 0 ? "\n" : " "));
    }
    const uint64_t mean = (uint64_t(megabytes) << 20) / files;
    if (!makeDir(root) || !makeDir(root + "/usr") || !makeDir(root + "/usr/share"))
        return 1;
    std::string data;
    for (unsigned i = 0; i < files; ++i) {
        char folder[64], name[80];
        std::snprintf(folder, sizeof folder, "/usr/share/d%03u", i / 100);
        std::snprintf(name, sizeof name, "%s/f%05u", folder, i);
        if (i % 100 == 0 && !makeDir(root + folder))
            return 1;
        uint64_t size = mean / 4 + random() % (mean * 3 / 2 + 1);
        data.clear();
        if (i % 2 == 0) {
            while (data.size() < size)
                data += words[random() % words.size()];
        } else {
            while (data.size() < size) {
                uint64_t r = random();
                data.append(reinterpret_cast<const char*>(&r), sizeof r);
            }
        }
        data.resize(size);
        std::FILE* out = std::fopen((root + name).c_str(), "wb");
        if (!out || std::fwrite(data.data(), 1, data.size(), out) != data.size() ||
            std::fclose(out) != 0) {
            std::fprintf(stderr, "bench_tree: %s%s: %s\n", root.c_str(), name,
                         std::strerror(errno));
            return 1;
        }
    }
    return 0;
}
