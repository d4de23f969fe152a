#include "tools/install-server/engine.h"

#include <cerrno>
#include <cstring>

namespace iserver {

namespace {

// The lines of a request payload; a trailing NUL (DRVR, DSCV) is not part of the text.
std::vector<std::string_view> lines(std::string_view payload) {
    if (!payload.empty() && payload.back() == '\0')
        payload.remove_suffix(1);
    std::vector<std::string_view> out;
    while (!payload.empty()) {
        size_t end = payload.find('\n');
        out.push_back(payload.substr(0, end));
        if (end == std::string_view::npos)
            break;
        payload.remove_prefix(end + 1);
    }
    return out;
}

bool printable(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return true;
}

} // namespace

Engine::Engine(std::shared_ptr<const Content> content, EngineSettings settings, BlockSource& source)
    : content(std::move(content)), settings(std::move(settings)), source(source) {}

bool Engine::idle() const {
    for (const auto& [mac, machine] : machines_)
        if (machine.busy())
            return false;
    return true;
}

Machine& Engine::machineFor(const Mac& mac, int64_t now) {
    auto [at, fresh] = machines_.try_emplace(mac);
    Machine& machine = at->second;
    if (fresh) {
        machine.mac = mac;
        machine.firstSeen = now;
        machine.sampleTime = now;
    }
    return machine;
}

Outcome Engine::handle(const uint8_t* datagram, size_t size, int interface, const Mac& server,
                       int64_t now) {
    ++datagrams;
    Header header;
    std::string_view payload;
    Outcome outcome;
    outcome.drop = parseDatagram(datagram, size, header, payload);
    if (outcome.drop == Drop::none) {
        if (header.source == server)
            outcome.drop = Drop::ownStation;
        else if (isZero(header.destination))
            outcome = broadcastRequest(header, payload, interface, server, now);
        else if (header.destination != server) {
            outcome.drop = Drop::otherStation;
            // A first reply to a machine from a station that is not this server: someone
            // else answers installers on this network.
            outcome.otherServer = (startsWith(payload, "OFFR") || startsWith(payload, "OFDR")) &&
                                  header.sequence == 1;
        } else
            outcome = addressedRequest(header, payload, now);
    }
    if (outcome.drop != Drop::none)
        ++drops[size_t(outcome.drop)];
    else {
        ++replies;
        if (outcome.repeated)
            ++repeats;
    }
    return outcome;
}

Outcome Engine::broadcastRequest(const Header& header, std::string_view payload, int interface,
                                 const Mac& server, int64_t now) {
    Outcome outcome;
    bool driverRequest = startsWith(payload, "DRVR\n");
    bool discovery = startsWith(payload, "DSCV\n");
    std::vector<std::string_view> text = lines(payload);
    if ((!driverRequest && !discovery) || (discovery && text.size() < 5)) {
        outcome.drop = Drop::unknownWord;
        return outcome;
    }
    auto known = machines_.find(header.source);
    bool underWay = known != machines_.end() && known->second.busy();
    if (draining && !underWay) {
        outcome.drop = Drop::draining;
        return outcome;
    }
    Machine& machine = machineFor(header.source, now);
    Conversation& talk = machine.conversation;
    bool sameStart =
        talk.sent == 1 && talk.lastRequest == 0 && talk.replySize > 0 &&
        talk.kind == (driverRequest ? Conversation::Kind::driver : Conversation::Kind::install);
    machine.lastHeard = now;
    machine.lost = false;
    if (sameStart) {
        // The client missed the first reply and asks again: the same offer, the same bytes.
        ++machine.retransmissions;
        outcome.reply = talk.reply.data();
        outcome.size = talk.replySize;
        outcome.interface = talk.interface;
        outcome.repeated = true;
        return outcome;
    }
    if (machine.busy() && machine.phase != Phase::drivers) {
        ++machine.restarts;
        event(machine, "restart", phaseName(machine.phase));
    }
    talk.server = server;
    talk.interface = interface;
    talk.sent = 0;
    talk.lastRequest = 0;
    talk.index = 0;
    talk.announced = false;
    talk.offset = 0;
    talk.files.clear();
    talk.ackToSend = 0;
    machine.failure.clear();
    std::string first;
    if (driverRequest) {
        std::string release(text.size() > 1 ? text[1] : std::string_view());
        FilePtr driver = content->driverFor(release);
        if (!driver) {
            event(machine, "no_driver", release);
            outcome.drop = Drop::unknownWord;
            talk.kind = Conversation::Kind::none;
            return outcome;
        }
        // A driver request begins a new installation run of this machine.
        machine.firstSeen = machine.lastHeard = machine.sampleTime = now;
        machine.finished = 0;
        machine.bytes = machine.bytesAtSample = 0;
        machine.rate = 0;
        machine.retransmissions = 0;
        machine.files.clear();
        machine.label.clear();
        machine.release = release;
        machine.phase = Phase::drivers;
        machine.driversComplete = false;
        talk.kind = Conversation::Kind::driver;
        talk.files.push_back(driver);
        machine.totalBytes = driver->size;
        first = "OFDR\n" + driver->name + "\n";
        event(machine, "drivers", driver->name);
    } else {
        std::string label(text[3]);
        if (!printable(label))
            label.clear();
        Offer offer = content->offerFor(header.source, label);
        machine.label = label;
        machine.phase = Phase::offered;
        machine.driversComplete = true;
        talk.kind = Conversation::Kind::install;
        talk.files = offer.files;
        machine.totalBytes = 0;
        machine.bytesAtOffer = machine.bytes;
        for (const FilePtr& file : offer.files)
            machine.totalBytes += file->size;
        first = "OFFR\n" + settings.serverName + "\n" + (offer.keep ? "keep\n" : "");
        event(machine, "offer",
              std::to_string(offer.files.size()) + " files" + (offer.keep ? ", keep" : ""));
    }
    return reply(machine, first);
}

Outcome Engine::addressedRequest(const Header& header, std::string_view payload, int64_t now) {
    Outcome outcome;
    auto found = machines_.find(header.source);
    if (found == machines_.end() || found->second.conversation.kind == Conversation::Kind::none) {
        outcome.drop = Drop::outOfSequence;
        return outcome;
    }
    Machine& machine = found->second;
    Conversation& talk = machine.conversation;
    if (header.sequence == talk.lastRequest && talk.lastRequest != 0 && talk.replySize > 0) {
        machine.lastHeard = now;
        machine.lost = false;
        ++machine.retransmissions;
        outcome.reply = talk.reply.data();
        outcome.size = talk.replySize;
        outcome.interface = talk.interface;
        outcome.repeated = true;
        return outcome;
    }
    if (header.sequence != uint16_t(talk.lastRequest + 1) || header.acknowledgement != talk.sent) {
        outcome.drop = Drop::outOfSequence;
        return outcome;
    }
    talk.ackToSend = header.sequence;
    outcome = answer(machine, payload, now);
    if (outcome.drop == Drop::none) {
        talk.lastRequest = header.sequence;
        machine.lastHeard = now;
        machine.lost = false;
    }
    return outcome;
}

Outcome Engine::answer(Machine& machine, std::string_view payload, int64_t now) {
    bool install = machine.conversation.kind == Conversation::Kind::install;
    Phase phase = machine.phase;
    if (install && phase == Phase::offered && startsWith(payload, "YACK")) {
        machine.phase = Phase::preparing;
        event(machine, "preparing");
        return reply(machine, std::string("OKAY"));
    }
    if (install && phase == Phase::preparing && startsWith(payload, "STRT")) {
        machine.phase = Phase::sending;
        event(machine, "start");
        return reply(machine, std::string("OKAY"));
    }
    if (startsWith(payload, "RETR") &&
        ((install && phase == Phase::sending) || (!install && phase == Phase::drivers)))
        return nextBlock(machine, now);
    if (install && (phase == Phase::farewell || phase == Phase::done) &&
        startsWith(payload, "WTRM")) {
        if (phase != Phase::done) {
            machine.phase = Phase::done;
            machine.finished = now;
            event(machine, "done");
        }
        return reply(machine, std::string("TERM"));
    }
    Outcome outcome;
    outcome.drop = Drop::unknownWord;
    return outcome;
}

Outcome Engine::nextBlock(Machine& machine, int64_t now) {
    Conversation& talk = machine.conversation;
    if (!talk.announced) {
        if (talk.index >= talk.files.size()) {
            if (talk.kind == Conversation::Kind::install) {
                machine.phase = Phase::farewell;
                event(machine, "farewell");
            }
            return reply(machine, std::string("DONE"));
        }
        const ServedFile& file = *talk.files[talk.index];
        talk.announced = true;
        talk.offset = 0;
        talk.hash.reset();
        machine.files.push_back(FileRecord{file.name, 0, "", false});
        return reply(machine, "FILE\n" + file.name + "\n" + std::to_string(file.size) + "\n");
    }
    const ServedFile& file = *talk.files[talk.index];
    FileRecord& record = machine.files.back();
    uint64_t left = file.size - talk.offset;
    size_t want = left < maxPayload ? size_t(left) : maxPayload;
    uint8_t* payload = talk.reply.data() + headerSize;
    long got = want ? source.read(file, talk.offset, payload, want) : 0;
    if (got < 0)
        return fail(machine, file.path + ": " + std::strerror(errno));
    if (size_t(got) != want)
        return fail(machine, file.path + ": shorter than when it was loaded");
    talk.offset += want;
    talk.hash.update(payload, want);
    record.bytes += want;
    machine.bytes += want;
    if (want == 0) {
        record.sha256 = talk.hash.finishHex();
        record.complete = true;
        ++talk.index;
        talk.announced = false;
        event(machine, "file", file.name);
        if (talk.kind == Conversation::Kind::driver) {
            machine.driversComplete = true;
            machine.finished = now;
        }
    }
    return reply(machine, payload, want);
}

Outcome Engine::reply(Machine& machine, const uint8_t* payload, size_t size) {
    Conversation& talk = machine.conversation;
    uint8_t* datagram = talk.reply.data();
    if (payload != datagram + headerSize)
        std::memcpy(datagram + headerSize, payload, size);
    Header header;
    header.source = talk.server;
    header.destination = machine.mac;
    header.payloadLength = uint16_t(size);
    header.sequence = ++talk.sent;
    header.acknowledgement = talk.ackToSend;
    writeHeader(datagram, header);
    talk.replySize = headerSize + size;
    Outcome outcome;
    outcome.reply = datagram;
    outcome.size = talk.replySize;
    outcome.interface = talk.interface;
    return outcome;
}

Outcome Engine::fail(Machine& machine, const std::string& why) {
    machine.phase = Phase::failed;
    machine.failure = why;
    machine.conversation.kind = Conversation::Kind::none;
    event(machine, "failed", why);
    Outcome outcome;
    outcome.drop = Drop::unknownWord;
    return outcome;
}

void Engine::tick(int64_t now) {
    for (auto& [mac, machine] : machines_) {
        int64_t span = now - machine.sampleTime;
        if (span >= 1'000'000) {
            double current = double(machine.bytes - machine.bytesAtSample) * 1e6 / double(span);
            machine.rate = machine.rate == 0 ? current : 0.5 * machine.rate + 0.5 * current;
            machine.bytesAtSample = machine.bytes;
            machine.sampleTime = now;
        }
        if (machine.settled())
            continue;
        bool onItsOwn = machine.phase == Phase::preparing || machine.phase == Phase::farewell ||
                        (machine.phase == Phase::drivers && machine.driversComplete);
        int64_t limit = onItsOwn ? settings.busyAfter : settings.lostAfter;
        if (now - machine.lastHeard > limit) {
            machine.lost = true;
            event(machine, "lost", machine.phaseText());
        }
    }
}

} // namespace iserver
