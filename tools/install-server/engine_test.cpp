// The protocol side of the server, driven in-process by a client that keeps the installer's
// acceptance rule: whole conversations, repeated requests, bad datagrams, several machines at
// once, sequence numbers past 65535, silence, draining and reloading.
#include "tools/install-server/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

using namespace iserver;

namespace {

const Mac serverMac{0x02, 0x53, 0x56, 0, 0, 1};

// Served bytes made up from the file's name and the offset, so every byte can be checked.
uint8_t patternByte(const std::string& name, uint64_t offset) {
    return uint8_t(offset * 7 + name.size() * 13 + (offset >> 12));
}

class PatternSource : public BlockSource {
public:
    long read(const ServedFile& file, uint64_t offset, uint8_t* data, size_t size) override {
        uint64_t end = file.size - shortBy;
        size = offset >= end ? 0 : size_t(std::min<uint64_t>(size, end - offset));
        for (size_t i = 0; i < size; ++i)
            data[i] = patternByte(file.name, offset + i);
        return long(size);
    }
    uint64_t shortBy = 0; // pretend the file shrank since it was loaded
};

FilePtr served(const std::string& name, uint64_t size) {
    auto file = std::make_shared<ServedFile>();
    file->name = file->path = name;
    file->size = size;
    file->script = name.size() > 4 && name.substr(name.size() - 4) == ".scr";
    return file;
}

std::shared_ptr<Content> content(std::vector<FilePtr> files, bool keep = false) {
    auto c = std::make_shared<Content>();
    c->drivers["default"] = served("drivers.rpx", 5000);
    c->general.files = std::move(files);
    c->general.keep = keep;
    return c;
}

// The installer's side of one conversation: numbering and the acceptance rule.
struct Client {
    explicit Client(Mac mac) : mac(mac) {}
    Mac mac;
    uint32_t sent = 0, received = 0;
    Mac peer{};
    std::string lastPayload;
    std::vector<uint8_t> lastDatagram;

    std::vector<uint8_t> request(const std::string& payload, bool broadcast) {
        std::vector<uint8_t> d(headerSize + payload.size());
        std::memcpy(d.data() + headerSize, payload.data(), payload.size());
        Header h;
        h.source = mac;
        if (broadcast) {
            sent = received = 0;
            peer = Mac{};
        }
        h.destination = peer;
        h.payloadLength = uint16_t(payload.size());
        h.acknowledgement = uint16_t(received);
        h.sequence = uint16_t(++sent);
        if (broadcast)
            sent = 0;
        writeHeader(d.data(), h);
        return d;
    }
    // The reply passes the installer's acceptance rule (sequence compared modulo 2^16).
    bool accept(const Outcome& o) {
        Header h;
        std::string_view payload;
        if (!o.reply || parseDatagram(o.reply, o.size, h, payload) != Drop::none ||
            h.destination != mac || (!isZero(peer) && h.source != peer) ||
            h.acknowledgement > uint16_t(sent) || h.sequence != uint16_t(received + 1))
            return false;
        received = received + 1;
        peer = h.source;
        lastPayload = std::string(payload);
        lastDatagram.assign(o.reply, o.reply + o.size);
        return true;
    }
};

std::string discovery(const std::string& label) {
    return std::string("DSCV\n\n\n") + label + "\ni386\n" + std::string(1, '\0');
}

struct Bench {
    PatternSource source;
    Engine engine;
    int64_t now = 1'000'000;
    std::vector<std::string> events;

    explicit Bench(std::shared_ptr<Content> c, EngineSettings settings = {})
        : engine(std::move(c), settings, source) {
        engine.onEvent = [this](const Machine& m, const std::string& e, const std::string&) {
            events.push_back(formatMac(m.mac) + " " + e);
        };
    }
    Outcome send(const std::vector<uint8_t>& d) {
        now += 1000;
        return engine.handle(d.data(), d.size(), 3, serverMac, now);
    }
    bool exchange(Client& c, const std::string& payload, bool broadcast = false) {
        return c.accept(send(c.request(payload, broadcast)));
    }
    // RETR until the empty block; the bytes of the file, checked against the pattern.
    bool receiveFile(Client& c, const std::string& name, uint64_t size) {
        if (!exchange(c, "RETR") ||
            c.lastPayload != "FILE\n" + name + "\n" + std::to_string(size) + "\n")
            return false;
        uint64_t offset = 0;
        for (;;) {
            if (!exchange(c, "RETR"))
                return false;
            if (c.lastPayload.empty())
                return offset == size;
            if (c.lastPayload.size() > maxPayload)
                return false;
            for (char byte : c.lastPayload)
                if (uint8_t(byte) != patternByte(name, offset++))
                    return false;
        }
    }
    const Machine& machine(const Client& c) { return engine.machines().at(c.mac); }
    // The offer, then YACK and STRT as far as `steps` says (1 to 3).
    bool begin(Client& c, int steps = 2) {
        return exchange(c, discovery("x"), true) && (steps < 2 || exchange(c, "YACK\n")) &&
               (steps < 3 || exchange(c, "STRT"));
    }
};

Mac station(uint8_t n) {
    return Mac{0x02, 0, 0, 0, 0, n};
}

} // namespace

TEST(Engine, wholeInstallationFollowsTheClientsAcceptanceRule) {
    Bench bench(content(
        {served("base.rpx", 8162), served("net.rpx", 4076), served("rw/autorun.scr", 0)}, true));
    Client c(station(0x11));
    // The drivers' conversation and the installation's: each broadcast and the first request
    // after it carry sequence 1.
    for (std::string broadcast : {"DRVR\n6.1.0-amd64" + std::string(1, '\0'), discovery("rack7")}) {
        Outcome first = bench.send(c.request(broadcast, true));
        Header h;
        std::string_view payload;
        ASSERT_EQ(parseDatagram(first.reply, first.size, h, payload), Drop::none);
        EXPECT_EQ(h.sequence, 1);
        EXPECT_EQ(h.acknowledgement, 0);
        EXPECT_EQ(h.destination, c.mac);
        EXPECT_EQ(h.source, serverMac);
        EXPECT_EQ(first.interface, 3);
        ASSERT_TRUE(c.accept(first));
        if (c.lastPayload.substr(0, 5) == "OFDR\n") {
            ASSERT_TRUE(bench.receiveFile(c, "drivers.rpx", 5000));
            EXPECT_EQ(bench.machine(c).phase, Phase::drivers);
            EXPECT_TRUE(bench.machine(c).driversComplete);
        }
    }
    EXPECT_EQ(c.lastPayload, "OFFR\ninstall-server\nkeep\n");
    ASSERT_TRUE(bench.exchange(c, "YACK\n"));
    EXPECT_EQ(c.sent, 1u);
    EXPECT_EQ(bench.machine(c).phase, Phase::preparing);
    EXPECT_EQ(bench.machine(c).label, "rack7");
    ASSERT_TRUE(bench.exchange(c, "STRT"));
    EXPECT_EQ(bench.machine(c).phaseText(), "file 1 of 3");
    ASSERT_TRUE(bench.receiveFile(c, "base.rpx", 8162));
    ASSERT_TRUE(bench.receiveFile(c, "net.rpx", 4076));
    ASSERT_TRUE(bench.receiveFile(c, "rw/autorun.scr", 0));
    ASSERT_TRUE(bench.exchange(c, "RETR"));
    EXPECT_NE(c.lastPayload.substr(0, 4), "FILE");
    EXPECT_EQ(bench.machine(c).phase, Phase::farewell);
    ASSERT_TRUE(bench.exchange(c, "WTRM"));
    EXPECT_EQ(c.lastPayload, "TERM");

    const Machine& m = bench.machine(c);
    EXPECT_EQ(m.phase, Phase::done);
    EXPECT_EQ(m.bytes, 5000u + 8162 + 4076);
    ASSERT_EQ(m.files.size(), 4u);
    for (const FileRecord& f : m.files) {
        EXPECT_TRUE(f.complete) << f.name;
        EXPECT_EQ(f.sha256.size(), 64u) << f.name;
    }
    EXPECT_EQ(m.files[3].sha256,
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(m.retransmissions, 0u);
    EXPECT_TRUE(bench.engine.idle());
}

TEST(Engine, repeatedRequestsGetTheIdenticalReplyAndNothingAdvances) {
    Bench bench(content({served("base.rpx", 10000)}));
    Client c(station(0x22));
    ASSERT_TRUE(bench.begin(c, 1));
    // The client missed the OFFR and broadcasts again: the same bytes.
    Client again = c;
    again.accept(bench.send(again.request(discovery("x"), true)));
    EXPECT_EQ(again.lastDatagram, c.lastDatagram);

    ASSERT_TRUE(bench.exchange(c, "YACK\n"));
    ASSERT_TRUE(bench.exchange(c, "STRT"));
    ASSERT_TRUE(bench.exchange(c, "RETR")); // FILE
    std::vector<uint8_t> retr = c.request("RETR", false);
    Outcome o = bench.send(retr);
    std::vector<uint8_t> block(o.reply, o.reply + o.size);
    for (int i = 0; i < 3; ++i) {
        Outcome repeat = bench.send(retr);
        EXPECT_TRUE(repeat.repeated);
        EXPECT_EQ(std::vector<uint8_t>(repeat.reply, repeat.reply + repeat.size), block);
    }
    ASSERT_TRUE(c.accept(o));
    EXPECT_EQ(c.lastPayload.size(), maxPayload);
    ASSERT_TRUE(bench.exchange(c, "RETR"));
    EXPECT_EQ(uint8_t(c.lastPayload[0]), patternByte("base.rpx", maxPayload));
    EXPECT_EQ(bench.machine(c).bytes, maxPayload + c.lastPayload.size());
    EXPECT_EQ(bench.machine(c).retransmissions, 4u);
    EXPECT_EQ(bench.engine.repeats, 4u);
}

TEST(Engine, badDatagramsAreDroppedAndCounted) {
    Bench bench(content({served("base.rpx", 100)}));
    Client c(station(0x33));
    ASSERT_TRUE(bench.begin(c, 1));
    auto dropped = [&](std::vector<uint8_t> d) { return bench.send(d).drop; };

    EXPECT_EQ(dropped(std::vector<uint8_t>(19, 0)), Drop::shortDatagram);
    std::vector<uint8_t> yack = c.request("YACK\n", false);
    c.sent--;
    std::vector<uint8_t> longer = yack;
    longer.push_back('x');
    EXPECT_EQ(dropped(longer), Drop::badLength);
    EXPECT_EQ(dropped(std::vector<uint8_t>(yack.begin(), yack.end() - 1)), Drop::badLength);

    Client self(serverMac), other = c, ahead = c, stranger(station(0x44)), wrongAck = c;
    EXPECT_EQ(dropped(self.request(discovery("x"), true)), Drop::ownStation);
    other.peer = {0x02, 9, 9, 9, 9, 9};
    EXPECT_EQ(dropped(other.request("YACK\n", false)), Drop::otherStation);
    ahead.sent += 5;
    EXPECT_EQ(dropped(ahead.request("YACK\n", false)), Drop::outOfSequence);
    stranger.peer = serverMac;
    EXPECT_EQ(dropped(stranger.request("RETR", false)), Drop::outOfSequence);
    wrongAck.received = 7;
    EXPECT_EQ(dropped(wrongAck.request("YACK\n", false)), Drop::outOfSequence);
    EXPECT_EQ(dropped(Client(c).request("HELO", false)), Drop::unknownWord);
    EXPECT_EQ(dropped(Client(c).request("STRT", false)), Drop::unknownWord); // before YACK
    EXPECT_EQ(dropped(c.request("DSCV\nonly\n", true)), Drop::unknownWord);
    EXPECT_EQ(dropped(c.request("", true)), Drop::unknownWord);

    // None of it disturbed the conversation.
    Client fresh(c.mac);
    ASSERT_TRUE(bench.begin(fresh));
    EXPECT_EQ(bench.engine.dropped(Drop::badLength), 2u);
    EXPECT_EQ(bench.engine.dropped(Drop::outOfSequence), 3u);
}

TEST(Engine, interleavedMachinesKeepTheirOwnNumbering) {
    Bench bench(content({served("a.rpx", 9000), served("b.rpx", 3)}));
    std::vector<Client> clients;
    for (uint8_t i = 0; i < 5; ++i)
        clients.push_back(Client(Mac{0x02, 1, 2, 3, 4, i}));
    for (Client& c : clients)
        ASSERT_TRUE(bench.begin(c));
    // Machine 0 starts late (its disk is big); the others move on meanwhile.
    for (size_t i = 1; i < clients.size(); ++i)
        ASSERT_TRUE(bench.exchange(clients[i], "STRT"));
    for (size_t i = 1; i < clients.size(); ++i)
        ASSERT_TRUE(bench.receiveFile(clients[i], "a.rpx", 9000));
    ASSERT_TRUE(bench.exchange(clients[0], "STRT"));
    ASSERT_TRUE(bench.receiveFile(clients[0], "a.rpx", 9000));
    for (Client& c : clients) {
        ASSERT_TRUE(bench.receiveFile(c, "b.rpx", 3)) << formatMac(c.mac);
        EXPECT_EQ(bench.machine(c).bytes, 9003u);
    }
}

TEST(Engine, sequenceNumbersWrapAroundOnLargeInstallations) {
    uint64_t size = uint64_t(maxPayload) * 70000 + 123; // more than 65535 replies
    Bench bench(content({served("huge.rpx", size)}));
    Client c(station(0x55));
    ASSERT_TRUE(bench.begin(c, 3));
    ASSERT_TRUE(bench.exchange(c, "RETR"));
    uint64_t got = 0;
    for (;;) {
        std::vector<uint8_t> retr = c.request("RETR", false);
        Outcome o = bench.send(retr);
        // A repetition right across the wrap works too.
        ASSERT_TRUE(c.sent % 20000 != 0 || bench.send(retr).repeated);
        ASSERT_TRUE(c.accept(o)) << "at reply " << c.received;
        if (c.lastPayload.empty())
            break;
        got += c.lastPayload.size();
    }
    EXPECT_EQ(got, size);
    EXPECT_GT(c.received, 65536u);
    ASSERT_TRUE(bench.exchange(c, "RETR"));
    ASSERT_TRUE(bench.exchange(c, "WTRM"));
    EXPECT_EQ(bench.machine(c).phase, Phase::done);
}

TEST(Engine, silentMachinesAreLostButPreparingOnesGetTime) {
    EngineSettings settings;
    settings.lostAfter = 10'000'000;
    settings.busyAfter = 600'000'000;
    Bench bench(content({served("a.rpx", 20000)}), settings);
    Client sending(station(1)), preparing(station(2));
    ASSERT_TRUE(bench.begin(sending, 3) && bench.begin(preparing));
    ASSERT_TRUE(bench.exchange(sending, "RETR") && bench.exchange(sending, "RETR"));
    bench.now += 11'000'000;
    bench.engine.tick(bench.now);
    EXPECT_TRUE(bench.machine(sending).lost);
    EXPECT_EQ(bench.machine(sending).phaseText(), "lost");
    EXPECT_FALSE(bench.machine(preparing).lost);
    // Five minutes of formatting later the other one starts and gets everything.
    bench.now += 300'000'000;
    bench.engine.tick(bench.now);
    EXPECT_FALSE(bench.machine(preparing).lost);
    ASSERT_TRUE(bench.exchange(preparing, "STRT"));
    ASSERT_TRUE(bench.receiveFile(preparing, "a.rpx", 20000));
    EXPECT_NE(std::find(bench.events.begin(), bench.events.end(), formatMac(sending.mac) + " lost"),
              bench.events.end());
}

TEST(Engine, drainingRefusesNewMachinesAndReloadLeavesOffersAlone) {
    Bench bench(content({served("old.rpx", 5000)}));
    Client early(station(1)), late(station(2)), refused(station(3));
    ASSERT_TRUE(bench.begin(early));
    bench.engine.setContent(content({served("new.rpx", 7000)}));
    ASSERT_TRUE(bench.begin(late, 3));
    ASSERT_TRUE(bench.receiveFile(late, "new.rpx", 7000));

    bench.engine.drain();
    EXPECT_EQ(bench.send(refused.request(discovery("x"), true)).drop, Drop::draining);
    EXPECT_FALSE(bench.engine.idle());
    ASSERT_TRUE(bench.exchange(early, "STRT"));
    ASSERT_TRUE(bench.receiveFile(early, "old.rpx", 5000));
    for (Client* c : {&early, &late})
        ASSERT_TRUE(bench.exchange(*c, "RETR") && bench.exchange(*c, "WTRM"));
    EXPECT_TRUE(bench.engine.idle());
}

TEST(Engine, aFileThatShrankFailsTheMachineInsteadOfSendingShortData) {
    Bench bench(content({served("a.rpx", 9000)}));
    bench.source.shortBy = 100;
    Client c(station(1));
    ASSERT_TRUE(bench.begin(c, 3));
    // The announcement and two full blocks; the third would be short.
    for (int n = 0; n < 3; ++n)
        ASSERT_TRUE(bench.exchange(c, "RETR")) << n;
    EXPECT_FALSE(bench.exchange(c, "RETR"));
    EXPECT_EQ(bench.machine(c).phase, Phase::failed);
    EXPECT_NE(bench.machine(c).failure.find("shorter"), std::string::npos);
}
