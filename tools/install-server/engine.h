// The protocol side of the server without sockets: datagrams in, replies out, one Machine per
// client hardware address. The event loop feeds it what arrives and sends what it returns;
// tests drive it directly.
#pragma once

#include "tools/install-server/conversation.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace iserver {

struct EngineSettings {
    std::string serverName = "install-server"; // line 2 of OFFR
    int64_t lostAfter = 120'000'000;           // silence while a transfer is under way
    int64_t busyAfter = 3600'000'000;          // silence while the client works on its own
};

// The answer to one datagram: a reply to send (pointing into the machine's conversation) or
// the reason it was dropped.
struct Outcome {
    Drop drop = Drop::none;
    const uint8_t* reply = nullptr;
    size_t size = 0;
    int interface = 0;
    bool repeated = false;    // the kept reply sent again
    bool otherServer = false; // another install server's reply was heard
};

class Engine {
public:
    Engine(std::shared_ptr<const Content> content, EngineSettings settings, BlockSource& source);

    // `server` is the hardware address of the interface it came in on.
    Outcome handle(const uint8_t* datagram, size_t size, int interface, const Mac& server,
                   int64_t now);
    // Marks machines silent for too long as lost and refreshes the rates.
    void tick(int64_t now);

    // Machines already offered finish on what they were offered.
    void setContent(std::shared_ptr<const Content> next) { content = std::move(next); }
    const Content& currentContent() const { return *content; }
    void drain() { draining = true; }
    bool isDraining() const { return draining; }
    // No conversation is under way.
    bool idle() const;

    const std::map<Mac, Machine>& machines() const { return machines_; }
    uint64_t dropped(Drop reason) const { return drops[size_t(reason)]; }
    uint64_t datagrams = 0, replies = 0, repeats = 0;

    // Called on every change of a machine worth a log line: "drivers", "offer", "file",
    // "done", "failed", "lost", "restart", "no_driver".
    std::function<void(const Machine&, const std::string& event, const std::string& detail)>
        onEvent;

private:
    Outcome broadcastRequest(const Header& header, std::string_view payload, int interface,
                             const Mac& server, int64_t now);
    Outcome addressedRequest(const Header& header, std::string_view payload, int64_t now);
    Outcome answer(Machine& machine, std::string_view payload, int64_t now);
    Outcome nextBlock(Machine& machine, int64_t now);
    Outcome reply(Machine& machine, const uint8_t* payload, size_t size);
    Outcome reply(Machine& machine, const std::string& text) {
        return reply(machine, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    Outcome fail(Machine& machine, const std::string& why);
    Machine& machineFor(const Mac& mac, int64_t now);
    void event(const Machine& machine, const std::string& name, const std::string& detail = "") {
        if (onEvent)
            onEvent(machine, name, detail);
    }

    std::shared_ptr<const Content> content;
    EngineSettings settings;
    BlockSource& source;
    bool draining = false;
    std::map<Mac, Machine> machines_;
    std::array<uint64_t, size_t(Drop::count)> drops{};
};

} // namespace iserver
