// Medians, ratios and goals of the benchmark's table (bench_report and its test).
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Samples {
    // figure -> subject -> values in the order measured
    std::map<std::string, std::map<std::string, std::vector<double>>> values;
    // figure -> why it was not measured
    std::map<std::string, std::string> notes;
};

// False for a line that is neither a sample nor a note (a blank line is accepted).
bool addSampleLine(Samples& samples, const std::string& line);

// Median of the values; the mean of the middle two for an even count. None when empty.
std::optional<double> median(std::vector<double> values);

struct Side {
    std::string figure, subject, label, unit;
};

// How the ratio is formed and read.
enum class RatioKind {
    timeRatio,  // subject / peer of seconds; at most the goal
    timeShare,  // peer / subject of seconds (a throughput share); at least the goal
    rateShare,  // subject / peer of rates; at least the goal
    flatMemory, // subject / peer of peak sizes; flat, and the subject below the goal in KB
};

struct Row {
    std::string name;
    Side subject, peer;
    RatioKind kind = RatioKind::timeRatio;
    double goal = 0; // 0: none, the ratio is shown for what it tells
};

struct RowResult {
    Row row;
    std::optional<double> subject, peer, ratio;
    size_t subjectRuns = 0, peerRuns = 0;
    bool measured = false;
    std::optional<bool> met; // none when not measured or without a goal
    std::string note;
};

const std::vector<Row>& standardRows();
std::vector<RowResult> evaluate(const Samples& samples, const std::vector<Row>& rows);
std::string formatTable(const std::vector<RowResult>& rows, const std::string& machine,
                        const std::string& mode);
nlohmann::json toJson(const std::vector<RowResult>& rows, const Samples& samples,
                      const std::string& machine, const std::string& mode);

} // namespace bench
