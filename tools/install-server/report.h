// What the operator sees of the machines: the live table, the JSON report at the end and the
// metrics file in the Prometheus text format.
#pragma once

#include "tools/install-server/engine.h"

#include <nlohmann/json.hpp>

#include <array>
#include <string>

namespace iserver {

// Reply times, from the arrival of a request to its reply leaving.
struct ReplyTimes {
    static constexpr std::array<double, 8> bounds{0.0001, 0.0005, 0.001, 0.005,
                                                  0.01,   0.05,   0.1,   1.0};
    std::array<uint64_t, bounds.size()> buckets{};
    uint64_t count = 0;
    double sum = 0, longest = 0;
    void observe(double seconds);
};

// "done", "failed", "lost" or "unfinished".
std::string machineResult(const Machine& machine);
nlohmann::json machineReport(const Machine& machine, int64_t now);
nlohmann::json serverReport(const Engine& engine, int64_t now);

// The table, one row per machine, for a terminal `width` columns wide.
std::string liveTable(const Engine& engine, int64_t now, size_t width);

std::string metricsText(const Engine& engine, const ReplyTimes& times);

} // namespace iserver
