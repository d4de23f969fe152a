#include "tools/install-server/server.h"

#include "tools/install-server/exit_codes.h"
#include "tools/install-server/report.h"
#include "tools/install-server/udp.h"
#include "tools/rpx/signer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>

namespace iserver {

namespace {

int64_t monotonicMicros() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000 + t.tv_nsec / 1000;
}

std::string wallClock() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    tm parts;
    gmtime_r(&t.tv_sec, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  t.tv_nsec / 1'000'000);
    return text;
}

// Replaces the file in one step, so that a collector never reads half of it.
bool writeWhole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

class Loop {
public:
    Loop(const ServeOptions& options, std::shared_ptr<Content> content)
        : options(options), engine(std::move(content), options.engine, source) {}
    int run();

private:
    void log(nlohmann::json event);
    void receive();
    void handle(Received& received, int64_t arrived);
    void signalled();
    void everySecond(int64_t now);
    bool finished(int& status);
    bool quietLongEnough(int64_t now) const;
    void writeReport();
    bool knownServer(int interface, Mac& mac);

    const ServeOptions& options;
    DescriptorSource source;
    Engine engine;
    int socket = -1, signals = -1;
    std::ofstream logFile;
    std::ostream* logStream = nullptr;
    bool live = false, plain = false;
    int stopRequests = 0;
    ReplyTimes times;
    std::map<int, Mac> addresses; // interface index → its hardware address
    std::set<Mac> ourAddresses;
    std::set<Mac> otherServers;
    int64_t lastMetrics = 0;
    std::vector<Received> batch = std::vector<Received>(32);
};

void Loop::log(nlohmann::json event) {
    event["time"] = wallClock();
    if (logStream)
        *logStream << event.dump() << std::endl;
    if (plain && event.contains("machine"))
        std::cout << event["machine"].get<std::string>() << " " << event["event"].get<std::string>()
                  << (event.value("detail", "").empty() ? "" : " " + event.value("detail", ""))
                  << std::endl;
}

bool Loop::knownServer(int interface, Mac& mac) {
    auto found = addresses.find(interface);
    if (found != addresses.end()) {
        mac = found->second;
        return true;
    }
    std::string name;
    if (!interfaceAddress(socket, interface, mac, name))
        return false;
    if (!options.interface.empty() && name != options.interface)
        return false;
    addresses[interface] = mac;
    ourAddresses.insert(mac);
    log({{"event", "interface"}, {"interface", name}, {"mac", formatMac(mac)}});
    return true;
}

void Loop::receive() {
    // A whole batch per call; a short one means the queue is empty, and the loop goes back to
    // waiting without asking once more for nothing.
    for (;;) {
        int got = receiveBatch(socket, batch.data(), int(batch.size()));
        int64_t arrived = monotonicMicros();
        for (int n = 0; n < got; ++n)
            handle(batch[size_t(n)], arrived);
        if (got < int(batch.size()))
            return;
    }
}

void Loop::handle(Received& received, int64_t arrived) {
    uint8_t* datagram = received.data;
    long size = received.size;
    int interface = received.interface;
    Mac server;
    if (received.fromPort != protocolPort || !knownServer(interface, server))
        return;
    // Our own replies come back to us from every interface we serve.
    if (size >= long(headerSize) && size <= long(maxDatagram)) {
        Mac from;
        std::copy(datagram, datagram + 6, from.begin());
        if (ourAddresses.count(from))
            return;
    }
    Outcome outcome = engine.handle(datagram, size_t(std::min<long>(size, maxDatagram + 1)),
                                    interface, server, arrived);
    if (outcome.otherServer) {
        Mac other;
        std::copy(datagram, datagram + 6, other.begin());
        if (otherServers.insert(other).second) {
            std::cerr << "install-server: WARNING: another install server answers on this "
                         "network: "
                      << formatMac(other) << "\n";
            log({{"event", "other_server"}, {"mac", formatMac(other)}});
        }
    }
    if (outcome.reply) {
        if (!sendBroadcast(socket, outcome.reply, outcome.size, outcome.interface))
            log({{"event", "send_failed"}, {"error", std::strerror(errno)}});
        times.observe(double(monotonicMicros() - arrived) / 1e6);
    }
}

void Loop::signalled() {
    signalfd_siginfo info;
    while (::read(signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGHUP) {
            int status = 0;
            auto next = loadChecked(options.directory, options.publicKey, true, status);
            if (next) {
                engine.setContent(next);
                log({{"event", "reload"}, {"directory", options.directory}});
            } else
                log({{"event", "reload_refused"}, {"directory", options.directory}});
            continue;
        }
        ++stopRequests;
        engine.drain();
        log({{"event", stopRequests == 1 ? "drain" : "stop"}});
    }
}

void Loop::everySecond(int64_t now) {
    engine.tick(now);
    if (live) {
        winsize size{};
        size_t width = ::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col : 80;
        std::cout << "\x1b[H\x1b[2J" << liveTable(engine, now, width) << std::flush;
    }
    if (!options.metricsFile.empty() && now - lastMetrics >= 5'000'000) {
        writeWhole(options.metricsFile, metricsText(engine, times));
        lastMetrics = now;
    }
}

bool Loop::finished(int& status) {
    if (stopRequests >= 2) {
        status = engine.idle() ? exitSuccess : exitUnfinished;
        return true;
    }
    bool ending = false;
    if (stopRequests == 1 && engine.idle()) {
        status = exitSuccess;
        ending = true;
    } else if (options.expect && options.exitWhenDone) {
        size_t settled = 0, done = 0;
        for (const auto& [mac, machine] : engine.machines()) {
            settled += machine.settled();
            done += machineResult(machine) == "done";
        }
        if (settled >= options.expect) {
            status = done >= options.expect ? exitSuccess : exitUnfinished;
            ending = true;
        }
    }
    return ending && quietLongEnough(monotonicMicros());
}

// A machine is done at its first WTRM, but the TERM that answers it can be lost; the machine
// then repeats WTRM once a second. Leaving only once no machine has spoken for a while makes
// sure every repeated farewell was answered.
bool Loop::quietLongEnough(int64_t now) const {
    constexpr int64_t quiet = 2'500'000;
    int64_t lastHeard = 0;
    for (const auto& [mac, machine] : engine.machines())
        lastHeard = std::max(lastHeard, machine.lastHeard);
    return now - lastHeard >= quiet;
}

void Loop::writeReport() {
    int64_t now = monotonicMicros();
    engine.tick(now);
    nlohmann::json report = serverReport(engine, now);
    report["reply_seconds_longest"] = times.longest;
    if (options.expect)
        report["expected"] = options.expect;
    std::string text = report.dump(2) + "\n";
    if (!options.reportFile.empty())
        writeWhole(options.reportFile, text);
    else if (options.expect)
        std::cout << text << std::flush;
    if (!options.metricsFile.empty())
        writeWhole(options.metricsFile, metricsText(engine, times));
}

int Loop::run() {
    std::string error;
    socket = openProtocolSocket(options.interface, error);
    if (socket < 0) {
        std::cerr << "install-server: " << error << "\n";
        return exitNetwork;
    }
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);

    if (options.logFile == "-")
        logStream = &std::cout;
    else if (!options.logFile.empty()) {
        logFile.open(options.logFile, std::ios::app);
        if (!logFile) {
            std::cerr << "install-server: " << options.logFile << ": cannot be written\n";
            return exitConfiguration;
        }
        logStream = &logFile;
    }
    bool terminal = ::isatty(1);
    live =
        options.table == "live" || (options.table == "auto" && terminal && options.logFile != "-");
    plain = options.table == "plain" ||
            (options.table == "auto" && !terminal && options.logFile != "-");
    engine.onEvent = [this](const Machine& m, const std::string& name, const std::string& detail) {
        log({{"event", name},
             {"machine", formatMac(m.mac)},
             {"label", m.label},
             {"detail", detail},
             {"bytes", m.bytes},
             {"retransmissions", m.retransmissions}});
    };
    log({{"event", "start"}, {"directory", options.directory}, {"interface", options.interface}});

    int status = exitSuccess;
    int64_t lastSecond = 0;
    pollfd waits[2] = {{socket, POLLIN, 0}, {signals, POLLIN, 0}};
    while (!finished(status)) {
        ::poll(waits, 2, 200);
        if (waits[1].revents)
            signalled();
        if (waits[0].revents)
            receive();
        int64_t now = monotonicMicros();
        if (now - lastSecond >= 1'000'000) {
            everySecond(now);
            lastSecond = now;
        }
    }
    if (live)
        std::cout << "\x1b[H\x1b[2J" << liveTable(engine, monotonicMicros(), 200) << std::flush;
    writeReport();
    log({{"event", "exit"}, {"status", status}});
    ::close(socket);
    ::close(signals);
    return status;
}

} // namespace

std::shared_ptr<Content> loadChecked(const std::string& directory, const std::string& keyFile,
                                     bool verify, int& status) {
    uint8_t key[32];
    LoadOptions load;
    load.verify = verify;
    if (!keyFile.empty()) {
        std::string error;
        if (!readKeyFile(keyFile, key, error)) {
            std::cerr << "install-server: " << keyFile << ": " << error << "\n";
            status = exitConfiguration;
            return nullptr;
        }
        load.publicKey = key;
    }
    std::vector<std::string> problems;
    auto content = loadContent(directory, load, problems);
    for (const std::string& problem : problems)
        std::cerr << "install-server: " << problem << "\n";
    if (!problems.empty()) {
        status = exitContent;
        return nullptr;
    }
    return content;
}

int serve(const ServeOptions& options) {
    int status = exitSuccess;
    auto content = loadChecked(options.directory, options.publicKey, true, status);
    if (!content)
        return status;
    Loop loop(options, content);
    return loop.run();
}

} // namespace iserver
