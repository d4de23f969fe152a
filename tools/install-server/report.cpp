#include "tools/install-server/report.h"

#include <cstdio>

namespace iserver {

void ReplyTimes::observe(double seconds) {
    ++count;
    sum += seconds;
    if (seconds > longest)
        longest = seconds;
    for (size_t i = 0; i < bounds.size(); ++i)
        if (seconds <= bounds[i])
            ++buckets[i];
}

std::string machineResult(const Machine& machine) {
    if (machine.lost)
        return "lost";
    if (machine.phase == Phase::done)
        return "done";
    if (machine.phase == Phase::failed)
        return "failed";
    return "unfinished";
}

nlohmann::json machineReport(const Machine& machine, int64_t now) {
    nlohmann::json files = nlohmann::json::array();
    for (const FileRecord& file : machine.files) {
        nlohmann::json entry{
            {"name", file.name}, {"bytes", file.bytes}, {"complete", file.complete}};
        entry["sha256"] = file.complete ? nlohmann::json(file.sha256) : nlohmann::json();
        files.push_back(entry);
    }
    int64_t end = machine.finished ? machine.finished : now;
    nlohmann::json report{{"mac", formatMac(machine.mac)},
                          {"label", machine.label},
                          {"release", machine.release},
                          {"result", machineResult(machine)},
                          {"phase", machine.phaseText()},
                          {"bytes", machine.bytes},
                          {"duration", double(end - machine.firstSeen) / 1e6},
                          {"retransmissions", machine.retransmissions},
                          {"files", files}};
    if (!machine.failure.empty())
        report["failure"] = machine.failure;
    return report;
}

nlohmann::json serverReport(const Engine& engine, int64_t now) {
    nlohmann::json machines = nlohmann::json::array();
    size_t done = 0;
    for (const auto& [mac, machine] : engine.machines()) {
        machines.push_back(machineReport(machine, now));
        done += machineResult(machine) == "done";
    }
    nlohmann::json dropped;
    for (size_t i = 1; i < size_t(Drop::count); ++i)
        dropped[dropName(Drop(i))] = engine.dropped(Drop(i));
    return {{"machines", machines},          {"done", done},
            {"datagrams", engine.datagrams}, {"replies", engine.replies},
            {"repeated", engine.repeats},    {"dropped", dropped}};
}

namespace {

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    size_t unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}

std::string eta(const Machine& machine) {
    if (machine.phase != Phase::sending || machine.rate <= 0 || machine.lost)
        return "";
    double left = double(machine.totalBytes) - double(machine.bytes - machine.bytesAtOffer);
    if (left < 0)
        left = 0;
    int seconds = int(left / machine.rate + 0.5);
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
    return text;
}

} // namespace

std::string liveTable(const Engine& engine, int64_t now, size_t width) {
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-17s  %-12s  %-16s %10s %11s %6s %7s\n", "MACHINE", "LABEL",
                  "PHASE", "BYTES", "RATE", "ETA", "RETRANS");
    out += std::string(line).substr(0, width) + (std::string(line).size() > width ? "\n" : "");
    size_t counts[3] = {};
    for (const auto& [mac, m] : engine.machines()) {
        std::string result = machineResult(m);
        counts[0] += result == "done";
        counts[1] += result == "failed" || result == "lost";
        counts[2] += result == "unfinished";
        std::snprintf(line, sizeof line, "%-17s  %-12.12s  %-16.16s %10s %11s %6s %7u\n",
                      formatMac(m.mac).c_str(), m.label.c_str(), m.phaseText().c_str(),
                      humanBytes(double(m.bytes)).c_str(),
                      m.settled() ? "" : (humanBytes(m.rate) + "/s").c_str(), eta(m).c_str(),
                      m.retransmissions);
        std::string row = line;
        if (row.size() > width + 1)
            row = row.substr(0, width) + "\n";
        out += row;
    }
    (void)now;
    std::snprintf(line, sizeof line, "%zu done, %zu failed or lost, %zu under way%s\n", counts[0],
                  counts[1], counts[2], engine.isDraining() ? " (draining)" : "");
    return out + line;
}

std::string metricsText(const Engine& engine, const ReplyTimes& times) {
    std::string out;
    char line[512];
    out += "# HELP install_server_machines Machines by phase.\n"
           "# TYPE install_server_machines gauge\n";
    const char* phases[] = {"drivers",  "offered", "preparing", "sending",
                            "farewell", "done",    "failed",    "lost"};
    size_t counts[8] = {};
    uint64_t bytes = 0, retransmissions = 0;
    for (const auto& [mac, m] : engine.machines()) {
        counts[m.lost ? 7 : size_t(m.phase)]++;
        bytes += m.bytes;
        retransmissions += m.retransmissions;
    }
    for (size_t i = 0; i < 8; ++i) {
        std::snprintf(line, sizeof line, "install_server_machines{phase=\"%s\"} %zu\n", phases[i],
                      counts[i]);
        out += line;
    }
    std::snprintf(line, sizeof line,
                  "# HELP install_server_bytes_total File bytes sent to machines.\n"
                  "# TYPE install_server_bytes_total counter\n"
                  "install_server_bytes_total %llu\n"
                  "# HELP install_server_retransmissions_total Repeated requests answered again.\n"
                  "# TYPE install_server_retransmissions_total counter\n"
                  "install_server_retransmissions_total %llu\n",
                  (unsigned long long)bytes, (unsigned long long)retransmissions);
    out += line;
    out += "# HELP install_server_dropped_total Datagrams dropped, by reason.\n"
           "# TYPE install_server_dropped_total counter\n";
    for (size_t i = 1; i < size_t(Drop::count); ++i) {
        std::snprintf(line, sizeof line, "install_server_dropped_total{reason=\"%s\"} %llu\n",
                      dropName(Drop(i)), (unsigned long long)engine.dropped(Drop(i)));
        out += line;
    }
    out += "# HELP install_server_reply_seconds Time from a request's arrival to its reply.\n"
           "# TYPE install_server_reply_seconds histogram\n";
    for (size_t i = 0; i < times.bounds.size(); ++i) {
        std::snprintf(line, sizeof line, "install_server_reply_seconds_bucket{le=\"%g\"} %llu\n",
                      times.bounds[i], (unsigned long long)times.buckets[i]);
        out += line;
    }
    std::snprintf(line, sizeof line,
                  "install_server_reply_seconds_bucket{le=\"+Inf\"} %llu\n"
                  "install_server_reply_seconds_sum %.6f\n"
                  "install_server_reply_seconds_count %llu\n",
                  (unsigned long long)times.count, times.sum, (unsigned long long)times.count);
    return out + line;
}

} // namespace iserver
