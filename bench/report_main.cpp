// The benchmark's table: reads the sample lines every measuring step wrote
// ("FIGURE<TAB>SUBJECT<TAB>VALUE", or "note<TAB>FIGURE<TAB>TEXT" for a figure that could not be
// measured), takes the median of each subject and prints each figure beside its peer with the
// ratio and the goal; the same as JSON for machines. Ratios, not absolute times, are the point:
// the machines are shared and noisy, and a ratio of two runs made side by side still holds.
#include "bench/report.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>

using namespace bench;

int main(int argc, char** argv) {
    CLI::App app{"Table of ratios from the benchmark's sample lines"};
    std::string samplesPath, jsonPath, machine, mode = "full";
    app.add_option("samples", samplesPath, "Sample lines")->required()->check(CLI::ExistingFile);
    app.add_option("--json", jsonPath, "Write the table as JSON here");
    app.add_option("--machine", machine, "Description of the machine it ran on");
    app.add_option("--mode", mode, "full or quick");
    CLI11_PARSE(app, argc, argv);

    std::ifstream in(samplesPath);
    Samples samples;
    std::string line;
    size_t number = 0;
    while (std::getline(in, line))
        if (!addSampleLine(samples, line))
            std::fprintf(stderr, "bench_report: %s:%zu: not a sample line: %s\n",
                         samplesPath.c_str(), number + 1, line.c_str());
        else
            ++number;
    std::vector<RowResult> rows = evaluate(samples, standardRows());
    std::fputs(formatTable(rows, machine, mode).c_str(), stdout);
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << toJson(rows, samples, machine, mode).dump(2) << "\n";
        if (!out) {
            std::fprintf(stderr, "bench_report: %s: cannot write\n", jsonPath.c_str());
            return 1;
        }
    }
    return 0;
}
