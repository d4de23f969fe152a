#include "tools/install-server/simulator.h"

#include "network/packet.h"
#include "network/transport.h"
#include "tools/install-server/exit_codes.h"
#include "tools/install-server/layout.h"
#include "tools/install-server/server.h"
#include "tools/install-server/udp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <vector>

namespace iserver {

namespace {

using installer::NetPeer;
using installer::Packet;

// The installer's time-outs and tries.
constexpr int64_t shortWait = 20'000, longWait = 1'000'000;
constexpr int retrTries = 300, startTries = 5;

enum class Step {
    drvr,
    driverFile,
    dscv,
    yack,
    preparing,
    strt,
    files,
    wtrm,
    done,
    failed,
    vanished
};

struct VirtualClient {
    Mac mac{};
    NetPeer peer;
    Step step = Step::drvr;
    Packet request{};
    size_t requestSize = 0;
    bool broadcastRequest = false;
    std::string word; // the first reply awaited after a broadcast
    int64_t deadline = 0, firstSent = 0;
    int triesLeft = 0;
    std::vector<FilePtr> expected; // the driver package, then the offered files
    size_t fileIndex = 0;
    bool inFile = false;
    uint64_t offset = 0;
    uint64_t bytes = 0;
    uint32_t retransmissions = 0;
    int64_t longestWait = 0, started = 0, ended = 0;
    std::string failure;
    bool keep = false;
};

class Simulation {
public:
    Simulation(const SimulateOptions& options, std::shared_ptr<Content> content)
        : options(options), content(std::move(content)) {}
    int run();

private:
    void begin(VirtualClient& c, int64_t now);
    void compose(VirtualClient& c, const std::string& payload, bool broadcast,
                 const std::string& word, int tries, int64_t now);
    void transmit(VirtualClient& c, int64_t now);
    void received(VirtualClient& c, const Packet& packet, long size, int64_t now);
    void replied(VirtualClient& c, const Packet& packet, int64_t now);
    void expire(VirtualClient& c, int64_t now);
    void fail(VirtualClient& c, const std::string& why, int64_t now) {
        c.step = Step::failed;
        c.failure = why;
        c.ended = now;
    }
    bool checkData(VirtualClient& c, const uint8_t* data, size_t size);
    void retr(VirtualClient& c, int64_t now) { compose(c, "RETR", false, "", retrTries, now); }

    const SimulateOptions& options;
    std::shared_ptr<Content> content;
    std::vector<VirtualClient> clients;
    std::map<Mac, size_t> byAddress;
    int socket = -1;
    int interfaceIndex = 0;
};

// The interface of that name, or the first one with a hardware address; 0 when none.
int pickInterface(int socket, const std::string& name) {
    if (!name.empty())
        return int(if_nametoindex(name.c_str()));
    int found = 0;
    if (struct if_nameindex* list = if_nameindex()) {
        for (struct if_nameindex* i = list; i->if_index && !found; ++i) {
            Mac mac;
            std::string ignored;
            if (interfaceAddress(socket, int(i->if_index), mac, ignored))
                found = int(i->if_index);
        }
        if_freenameindex(list);
    }
    return found;
}

void Simulation::compose(VirtualClient& c, const std::string& payload, bool broadcast,
                         const std::string& word, int tries, int64_t now) {
    c.request.clear();
    if (broadcast) {
        // A broadcast starts a conversation anew: sequence 1, nobody chosen.
        c.peer.reset();
        c.requestSize = installer::composeDatagram(c.peer, c.request, payload);
        c.peer.sent = 0;
        c.peer.received = 0;
    } else {
        c.requestSize = installer::composeDatagram(c.peer, c.request, payload);
    }
    c.broadcastRequest = broadcast;
    c.word = word;
    c.triesLeft = tries;
    c.firstSent = now;
    transmit(c, now);
}

void Simulation::transmit(VirtualClient& c, int64_t now) {
    sendBroadcast(socket, c.request.bytes, c.requestSize, interfaceIndex);
    --c.triesLeft;
    int64_t wait = c.step == Step::files || c.step == Step::driverFile ? shortWait : longWait;
    c.deadline = now + wait;
}

void Simulation::begin(VirtualClient& c, int64_t now) {
    c.step = Step::drvr;
    c.started = now;
    compose(c, "DRVR\n" + options.release + std::string(1, '\0'), true, "OFDR", 1, now);
}

bool Simulation::checkData(VirtualClient& c, const uint8_t* data, size_t size) {
    const ServedFile& file = *c.expected[c.fileIndex];
    if (c.offset + size > file.size)
        return false;
    uint8_t reference[maxPayload];
    DescriptorSource source;
    if (source.read(file, c.offset, reference, size) != long(size))
        return false;
    return std::memcmp(reference, data, size) == 0;
}

void Simulation::received(VirtualClient& c, const Packet& packet, long size, int64_t now) {
    if (c.step == Step::done || c.step == Step::failed || c.step == Step::vanished)
        return;
    if (c.broadcastRequest) {
        // The first reply: what awaitReply takes.
        NetPeer fresh;
        fresh.ownAddress = c.mac;
        if (!installer::acceptPacket(fresh, packet, size) ||
            installer::isZeroAddress(packet.destination()) || packet.payloadLength() == 0 ||
            !packet.payloadBeginsWith(c.word))
            return;
        c.peer = fresh;
        c.peer.peerAddress = packet.source();
        replied(c, packet, now);
        return;
    }
    if (installer::acceptPacket(c.peer, packet, size))
        replied(c, packet, now);
}

void Simulation::replied(VirtualClient& c, const Packet& packet, int64_t now) {
    int64_t waited = now - c.firstSent;
    if (waited > c.longestWait)
        c.longestWait = waited;
    std::string_view text = packet.payloadText();
    switch (c.step) {
    case Step::drvr: {
        FilePtr driver = content->driverFor(options.release);
        if (!driver)
            return fail(c, "the server offers drivers, the directory has none for this release",
                        now);
        c.expected = {driver};
        c.fileIndex = 0;
        c.inFile = false;
        c.step = Step::driverFile;
        return retr(c, now);
    }
    case Step::dscv: {
        Offer offer = content->offerFor(c.mac, options.label);
        size_t first = text.find('\n'), second = text.find('\n', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos)
            return; // not an offer the installer takes; it keeps waiting
        c.keep = text.substr(second + 1) == "keep\n";
        if (c.keep != offer.keep)
            return fail(c, std::string("the offer ") + (c.keep ? "says" : "lacks") + " keep", now);
        c.expected = offer.files;
        c.fileIndex = 0;
        c.inFile = false;
        c.step = Step::yack;
        return compose(c, "YACK\n", false, "", startTries, now);
    }
    case Step::yack:
        c.step = Step::preparing;
        c.deadline = now + int64_t(options.prepareMillis) * 1000;
        return;
    case Step::strt:
        c.step = Step::files;
        return retr(c, now);
    case Step::driverFile:
    case Step::files: {
        if (!c.inFile) {
            bool announced = text.substr(0, 4) == "FILE";
            if (!announced) {
                if (c.fileIndex != c.expected.size())
                    return fail(c,
                                "the list ended after " + std::to_string(c.fileIndex) + " of " +
                                    std::to_string(c.expected.size()) + " files",
                                now);
                c.step = Step::wtrm;
                return compose(c, "WTRM", false, "", 1 << 30, now);
            }
            if (c.fileIndex >= c.expected.size())
                return fail(c, "more files than the directory holds for this machine", now);
            const ServedFile& file = *c.expected[c.fileIndex];
            std::string line = "FILE\n" + file.name + "\n" + std::to_string(file.size) + "\n";
            if (text != line)
                return fail(c, "announced \"" + std::string(text) + "\" instead of " + file.name,
                            now);
            c.inFile = true;
            c.offset = 0;
            return retr(c, now);
        }
        size_t size = packet.payloadLength();
        const ServedFile& file = *c.expected[c.fileIndex];
        if (size == 0) {
            if (c.offset != file.size)
                return fail(c, file.name + " ended at " + std::to_string(c.offset) + " bytes", now);
            c.inFile = false;
            ++c.fileIndex;
            if (c.step == Step::driverFile) {
                c.step = Step::dscv;
                std::string dscv = "DSCV\n\n\n" + options.label + "\ni386\n" + std::string(1, '\0');
                return compose(c, dscv, true, "OFFR", 1, now);
            }
            return retr(c, now);
        }
        if (!checkData(c, packet.payload(), size))
            return fail(c,
                        file.name + ": bytes at " + std::to_string(c.offset) +
                            " differ from the served file",
                        now);
        c.offset += size;
        c.bytes += size;
        if (long(&c - clients.data()) == options.vanish && c.step == Step::files &&
            c.offset * 2 >= file.size) {
            c.step = Step::vanished;
            c.ended = now;
            return;
        }
        return retr(c, now);
    }
    case Step::wtrm:
        if (text.substr(0, 4) == "TERM") {
            c.step = Step::done;
            c.ended = now;
        }
        return;
    default:
        return;
    }
}

void Simulation::expire(VirtualClient& c, int64_t now) {
    switch (c.step) {
    case Step::done:
    case Step::failed:
    case Step::vanished:
        return;
    case Step::preparing:
        c.step = Step::strt;
        return compose(c, "STRT", false, "", startTries, now);
    case Step::drvr:
    case Step::dscv:
        // Once a second, again, as a new conversation.
        ++c.retransmissions;
        return compose(c,
                       std::string(reinterpret_cast<const char*>(c.request.payload()),
                                   c.request.payloadLength()),
                       true, c.word, 1, now);
    case Step::yack:
        if (c.triesLeft <= 0) {
            c.step = Step::dscv;
            std::string dscv = "DSCV\n\n\n" + options.label + "\ni386\n" + std::string(1, '\0');
            return compose(c, dscv, true, "OFFR", 1, now);
        }
        break;
    case Step::strt:
        if (c.triesLeft <= 0)
            return fail(c, "server refused to install", now);
        break;
    default:
        if (c.triesLeft <= 0)
            return fail(c, "bad network connection", now);
        break;
    }
    ++c.retransmissions;
    transmit(c, now); // the very same datagram, same sequence number
}

int Simulation::run() {
    std::string error;
    socket = openProtocolSocket(options.interface, error);
    if (socket < 0) {
        std::cerr << "install-server: " << error << "\n";
        return exitNetwork;
    }
    interfaceIndex = pickInterface(socket, options.interface);
    if (interfaceIndex == 0) {
        std::cerr << "install-server: no network interface to simulate on\n";
        ::close(socket);
        return exitNetwork;
    }
    clients.resize(options.clients);
    int64_t start = installer::nowMicros();
    for (size_t i = 0; i < clients.size(); ++i) {
        VirtualClient& c = clients[i];
        uint32_t n = uint32_t(i) + options.macBase;
        c.mac = {0x02, 0x53, 0x49, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        c.peer.ownAddress = c.mac;
        byAddress[c.mac] = i;
    }
    for (VirtualClient& c : clients)
        begin(c, installer::nowMicros());

    int64_t limit = start + int64_t(options.timeout) * 1'000'000;
    Packet packet{};
    std::vector<Received> batch(32);
    for (;;) {
        int64_t now = installer::nowMicros();
        int64_t next = now + 200'000;
        size_t active = 0;
        for (VirtualClient& c : clients) {
            if (c.step == Step::done || c.step == Step::failed || c.step == Step::vanished)
                continue;
            ++active;
            if (c.deadline <= now)
                expire(c, now);
            next = std::min(next, c.deadline);
        }
        if (!active || now > limit)
            break;
        pollfd wait{socket, POLLIN, 0};
        int millis = int(std::max<int64_t>(0, (next - now + 999) / 1000));
        if (::poll(&wait, 1, millis) <= 0)
            continue;
        for (int got = int(batch.size()); got == int(batch.size());) {
            got = receiveBatch(socket, batch.data(), int(batch.size()));
            for (int n = 0; n < got; ++n) {
                const Received& r = batch[size_t(n)];
                if (r.fromPort != protocolPort || r.size < long(headerSize) ||
                    r.size > long(maxDatagram))
                    continue;
                std::memcpy(packet.bytes, r.data, size_t(r.size));
                auto found = byAddress.find(packet.destination());
                if (found == byAddress.end())
                    continue;
                received(clients[found->second], packet, r.size, installer::nowMicros());
            }
        }
    }
    int64_t end = installer::nowMicros();
    ::close(socket);

    nlohmann::json report;
    nlohmann::json list = nlohmann::json::array();
    size_t ok = 0, vanished = 0;
    uint64_t bytes = 0;
    int64_t longest = 0;
    uint32_t retransmissions = 0;
    for (VirtualClient& c : clients) {
        const char* result = c.step == Step::done       ? "done"
                             : c.step == Step::vanished ? "vanished"
                             : c.step == Step::failed   ? "failed"
                                                        : "unfinished";
        ok += c.step == Step::done;
        vanished += c.step == Step::vanished;
        bytes += c.bytes;
        longest = std::max(longest, c.longestWait);
        retransmissions += c.retransmissions;
        double seconds = double((c.ended ? c.ended : end) - c.started) / 1e6;
        nlohmann::json entry{{"mac", formatMac(c.mac)},
                             {"result", result},
                             {"bytes", c.bytes},
                             {"files", c.fileIndex},
                             {"seconds", seconds},
                             {"retransmissions", c.retransmissions},
                             {"longest_wait", double(c.longestWait) / 1e6}};
        if (!c.failure.empty())
            entry["failure"] = c.failure;
        list.push_back(entry);
        if (!options.quiet)
            std::cout << formatMac(c.mac) << " " << result << " " << c.bytes << " bytes "
                      << c.fileIndex << " files " << seconds << " s " << c.retransmissions
                      << " retransmissions" << (c.failure.empty() ? "" : ": " + c.failure) << "\n";
    }
    double seconds = double(end - start) / 1e6;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    report = {{"clients", list},
              {"done", ok},
              {"vanished", vanished},
              {"bytes", bytes},
              {"seconds", seconds},
              {"rate_bytes_per_second", seconds > 0 ? double(bytes) / seconds : 0},
              {"longest_wait", double(longest) / 1e6},
              {"retransmissions", retransmissions}};
    std::cout << ok << " of " << clients.size() << " clients done"
              << (vanished ? " (" + std::to_string(vanished) + " vanished on purpose)" : "") << ", "
              << bytes << " bytes in " << seconds << " s ("
              << (seconds > 0 ? double(bytes) / seconds / 1e6 : 0) << " MB/s), longest wait "
              << double(longest) / 1e6 << " s, " << retransmissions << " retransmissions\n";
    if (!options.reportFile.empty()) {
        std::ofstream out(options.reportFile);
        out << report.dump(2) << "\n";
    }
    return ok + vanished == clients.size() ? exitSuccess : exitUnfinished;
}

} // namespace

int simulate(const SimulateOptions& options) {
    int status = exitSuccess;
    auto content = loadChecked(options.directory, "", false, status);
    if (!content)
        return status;
    Simulation simulation(options, content);
    return simulation.run();
}

} // namespace iserver
