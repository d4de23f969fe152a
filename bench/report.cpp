#include "bench/report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace bench {

namespace {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// A peak is flat when the large package adds less than this to the small one's.
constexpr double flatGrowthKb = 1024;

std::string number(std::optional<double> value, const std::string& unit) {
    if (!value)
        return "-";
    char text[64];
    double v = *value;
    if (unit == "s" && v < 1e-3)
        std::snprintf(text, sizeof text, "%.1f us", v * 1e6);
    else if (unit == "s" && v < 1)
        std::snprintf(text, sizeof text, "%.1f ms", v * 1e3);
    else if (unit == "KB")
        std::snprintf(text, sizeof text, "%.1f MB", v / 1024);
    else
        std::snprintf(text, sizeof text, "%.3g %s", v, unit.c_str());
    return text;
}

std::string goalText(const Row& row) {
    if (row.goal == 0)
        return "none";
    char text[64];
    switch (row.kind) {
    case RatioKind::timeRatio:
        std::snprintf(text, sizeof text, "<= %.2fx", row.goal);
        break;
    case RatioKind::timeShare:
    case RatioKind::rateShare:
        std::snprintf(text, sizeof text, ">= %.0f%%", row.goal * 100);
        break;
    case RatioKind::flatMemory:
        std::snprintf(text, sizeof text, "flat, < %.0f MB", row.goal / 1024);
        break;
    }
    return text;
}

std::string ratioText(const RowResult& r) {
    if (!r.ratio)
        return "-";
    char text[32];
    if (r.row.kind == RatioKind::timeShare || r.row.kind == RatioKind::rateShare)
        std::snprintf(text, sizeof text, "%.0f%%", *r.ratio * 100);
    else
        std::snprintf(text, sizeof text, "%.2fx", *r.ratio);
    return text;
}

} // namespace

bool addSampleLine(Samples& samples, const std::string& line) {
    if (line.empty())
        return true;
    std::vector<std::string> f = splitTabs(line);
    if (f.size() != 3 || f[0].empty() || f[1].empty())
        return false;
    if (f[0] == "note") {
        samples.notes[f[1]] = f[2];
        return true;
    }
    char* end = nullptr;
    double value = std::strtod(f[2].c_str(), &end);
    if (f[2].empty() || *end != '\0' || !(value == value))
        return false;
    samples.values[f[0]][f[1]].push_back(value);
    return true;
}

std::optional<double> median(std::vector<double> values) {
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

const std::vector<Row>& standardRows() {
    static const std::vector<Row> rows = {
        {"install, tmpfs",
         {"install-tmpfs", "installer", "installer child", "s"},
         {"install-tmpfs", "tar", "tar -xzf + sync", "s"},
         RatioKind::timeRatio,
         0.8},
        {"install, ext4 on loop",
         {"install-ext4", "installer", "installer child", "s"},
         {"install-ext4", "tar", "tar -xzf + sync", "s"},
         RatioKind::timeRatio,
         0.8},
        {"install vs its limit",
         {"install-tmpfs", "installer", "installer child, tmpfs", "s"},
         {"install-tmpfs", "inflate", "bare zlib inflate", "s"},
         RatioKind::timeShare,
         0.85},
        {"package reader",
         {"reader", "reader", "SHA-1 + inflate", "s"},
         {"reader", "inflate", "bare zlib inflate", "s"},
         RatioKind::timeShare,
         0.9},
        {"signature check",
         {"verify", "installer", "installer check", "s"},
         {"verify", "libsodium", "libsodium verify", "s"},
         RatioKind::timeRatio,
         1.5},
        {"child peak memory",
         {"memory", "1g", "1 GB package", "KB"},
         {"memory", "1k", "1 KB package", "KB"},
         RatioKind::flatMemory,
         16 * 1024},
        {"network, one installer",
         {"network", "installer", "installer", "MB/s"},
         {"network", "limit", "stop-and-wait limit", "MB/s"},
         RatioKind::rateShare,
         0.9},
        {"network vs TFTP",
         {"network", "installer", "installer", "MB/s"},
         {"network", "tftp", "TFTP peer", "MB/s"},
         RatioKind::rateShare,
         1.0},
        // No goal for these: they show what sharing one server costs.
        {"server, 8 installers",
         {"server-8", "total", "8 at once, in total", "MB/s"},
         {"server-8", "single", "one installer alone", "MB/s"},
         RatioKind::rateShare,
         0},
        {"server, 256 clients",
         {"server-256", "longest-wait", "longest wait", "s"},
         {"server-256", "reply", "longest server reply", "s"},
         RatioKind::timeRatio,
         0},
        {"VM hard-disk install",
         {"vm", "installer", "installer", "s"},
         {"vm", "script", "sfdisk+mke2fs+tar", "s"},
         RatioKind::timeRatio,
         1.0},
    };
    return rows;
}

std::vector<RowResult> evaluate(const Samples& samples, const std::vector<Row>& rows) {
    auto find = [&](const Side& side) -> const std::vector<double>* {
        auto figure = samples.values.find(side.figure);
        if (figure == samples.values.end())
            return nullptr;
        auto subject = figure->second.find(side.subject);
        return subject == figure->second.end() ? nullptr : &subject->second;
    };
    std::vector<RowResult> results;
    for (const Row& row : rows) {
        RowResult r;
        r.row = row;
        if (const auto* v = find(row.subject))
            r.subject = median(*v), r.subjectRuns = v->size();
        if (const auto* v = find(row.peer))
            r.peer = median(*v), r.peerRuns = v->size();
        if (auto note = samples.notes.find(row.subject.figure); note != samples.notes.end())
            r.note = note->second;
        r.measured = r.subject && r.peer && *r.subject > 0 && *r.peer > 0;
        if (r.measured) {
            double s = *r.subject, p = *r.peer;
            switch (row.kind) {
            case RatioKind::timeRatio:
                r.ratio = s / p;
                r.met = *r.ratio <= row.goal;
                break;
            case RatioKind::timeShare:
                r.ratio = p / s;
                r.met = *r.ratio >= row.goal;
                break;
            case RatioKind::rateShare:
                r.ratio = s / p;
                r.met = *r.ratio >= row.goal;
                break;
            case RatioKind::flatMemory:
                r.ratio = s / p;
                r.met = s < row.goal && s - p < flatGrowthKb;
                break;
            }
            if (row.goal == 0)
                r.met.reset();
        } else if (r.note.empty()) {
            r.note = "not measured";
        }
        results.push_back(r);
    }
    return results;
}

std::string formatTable(const std::vector<RowResult>& rows, const std::string& machine,
                        const std::string& mode) {
    std::ostringstream out;
    char line[512];
    out << "Benchmark (" << mode << " run)";
    if (!machine.empty())
        out << " on " << machine;
    out << "\n\n";
    std::snprintf(line, sizeof line, "%-24s %-24s %11s  %-20s %11s  %7s  %-16s %s\n", "figure",
                  "subject", "median", "peer", "median", "ratio", "goal", "met");
    out << line;
    for (const RowResult& r : rows) {
        const char* met = !r.measured ? "NOT MEASURED" : !r.met ? "-" : *r.met ? "yes" : "no";
        std::snprintf(line, sizeof line, "%-24s %-24s %11s  %-20s %11s  %7s  %-16s %s\n",
                      r.row.name.c_str(), r.row.subject.label.c_str(),
                      number(r.subject, r.row.subject.unit).c_str(), r.row.peer.label.c_str(),
                      number(r.peer, r.row.peer.unit).c_str(), ratioText(r).c_str(),
                      goalText(r.row).c_str(), met);
        out << line;
        if (!r.note.empty())
            out << "    " << r.note << "\n";
    }
    out << "\nMedians; runs per side in the JSON. Ratios are of medians measured in the same "
           "run.\n";
    return out.str();
}

nlohmann::json toJson(const std::vector<RowResult>& rows, const Samples& samples,
                      const std::string& machine, const std::string& mode) {
    using nlohmann::json;
    auto optional = [](std::optional<double> v) { return v ? json(*v) : json(nullptr); };
    json table = json::array();
    for (const RowResult& r : rows) {
        table.push_back({
            {"figure", r.row.name},
            {"subject",
             {{"label", r.row.subject.label},
              {"median", optional(r.subject)},
              {"unit", r.row.subject.unit},
              {"runs", r.subjectRuns}}},
            {"peer",
             {{"label", r.row.peer.label},
              {"median", optional(r.peer)},
              {"unit", r.row.peer.unit},
              {"runs", r.peerRuns}}},
            {"ratio", optional(r.ratio)},
            {"goal", goalText(r.row)},
            {"measured", r.measured},
            {"met", r.met ? json(*r.met) : json(nullptr)},
            {"note", r.note},
        });
    }
    return {{"machine", machine},
            {"mode", mode},
            {"table", table},
            {"samples", samples.values},
            {"notes", samples.notes}};
}

} // namespace bench
