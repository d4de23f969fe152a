// The host build's driver of a fuzz target: runs it over every file of the corpus folders (or
// files) it is given, the way libFuzzer replays a corpus, so CTest replays each corpus as a
// regression test without clang. A finding shows as a crash or an abort of this process.
#include "testbed/capability_guard.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (!testbed::dropMachineCapabilities()) {
        std::fprintf(stderr, "fuzz replay: could not drop CAP_SYS_BOOT/CAP_SYS_MODULE\n");
        return 2;
    }
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path = argv[i];
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(path)) {
            inputs.push_back(path);
        } else {
            std::fprintf(stderr, "fuzz replay: no such corpus: %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "fuzz replay: the corpus is empty\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    // Read before the target's setup, which may leave this process in a world of its own.
    std::vector<std::vector<uint8_t>> contents;
    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        contents.emplace_back(std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>());
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (size_t i = 0; i < inputs.size(); ++i) {
        std::fprintf(stderr, "%s\n", inputs[i].c_str());
        LLVMFuzzerTestOneInput(contents[i].data(), contents[i].size());
    }
    std::fprintf(stderr, "fuzz replay: %zu inputs, no finding\n", inputs.size());
    return 0;
}
