// The install server's request handling on arbitrary datagrams from a few machines, over a
// served directory made in memory (driver packages, packages of one block, of several and of
// none, scripts, a label's and a machine's additions, "keep").
//
// Input: a list of steps, each an operation byte and what it needs. The low three bits pick the
// request (DRVR, DSCV with a label, RETR, YACK, STRT, WTRM, any payload, any datagram), the next
// two the machine; 0x20 sends the machine's last datagram again, 0x40 spoils its sequence and
// acknowledgement with the next bytes, 0x80 lets time pass (ticks up to past the lost limit).
//
// Every reply must be a well-formed datagram from the server to the machine that asked, with a
// payload of the protocol: an offer, OKAY, DONE, TERM, a file announcement, or, to a RETR, a
// data block. A machine that keeps the installer's numbering takes every reply to a request it
// made in order with the installer's own acceptance rule, reads the announced files whole and
// byte for byte, and gets the very same datagram again when it repeats a request.
#include "network/packet.h"
#include "network/protocol_text.h"
#include "testbed/fuzz_support.h"
#include "tools/install-server/engine.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace iserver;

namespace {

const Mac serverMac{0x02, 0x53, 0x56, 0, 0, 1};
const Mac clientMacs[4] = {{0x02, 0, 0, 0, 0, 1},
                           {0x02, 0, 0, 0, 0, 2},
                           {0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e},
                           {0x02, 0, 0, 0, 0, 4}};

uint8_t patternByte(const std::string& name, uint64_t offset) {
    return uint8_t(offset * 7 + name.size() * 13 + (offset >> 12));
}

class PatternSource : public BlockSource {
public:
    long read(const ServedFile& file, uint64_t offset, uint8_t* data, size_t size) override {
        for (size_t i = 0; i < size; ++i)
            data[i] = patternByte(file.name, offset + i);
        return long(size);
    }
};

FilePtr served(const std::string& name, uint64_t size) {
    auto file = std::make_shared<ServedFile>();
    file->name = file->path = name;
    file->size = size;
    file->script = installer::isConfigurationScript(name);
    return file;
}

std::shared_ptr<const Content> servedContent() {
    static std::shared_ptr<const Content> made = [] {
        auto c = std::make_shared<Content>();
        c->drivers["default"] = served("drivers.rpx", 5000);
        c->drivers["6.1.0"] = served("drivers-6.1.0.rpx", installer::maxPayload);
        c->general.files = {served("system.rpx", 9000), served("empty.rpx", 0),
                            served("dhcp.rpx", 100), served("net/setup.scr", 30)};
        c->labels["lab"].scripts = {served("net/setup.scr", 60), served("lab.scr", 10)};
        c->machines[clientMacs[2]].scripts = {served("own.scr", 4076 * 2)};
        c->machines[clientMacs[2]].keep = true;
        return c;
    }();
    return made;
}

void failWith(const std::string& what) {
    std::fprintf(stderr, "install server: %s\n", what.c_str());
    std::abort();
}

// One machine: the installer's numbering, and what it learnt from the replies it took.
struct Client {
    Mac mac{};
    installer::NetPeer peer;
    bool trusted = false; // its requests and the server's view of them agree
    std::vector<uint8_t> lastDatagram, lastReply;
    std::string file; // the file being read, with its announced size and what came of it
    uint64_t fileSize = 0, fileRead = 0;
    bool reading = false;
};

std::vector<uint8_t> compose(Client& client, std::string_view payload, bool broadcast) {
    installer::Packet packet;
    if (broadcast) {
        client.peer.reset();
        client.reading = false;
        client.trusted = true;
    }
    size_t size = installer::composeDatagram(client.peer, packet, payload);
    if (broadcast)
        client.peer.sent = 0;
    return std::vector<uint8_t>(packet.bytes, packet.bytes + size);
}

bool isProtocolWord(std::string_view payload) {
    for (std::string_view word : {"OKAY", "DONE", "TERM"})
        if (payload == word)
            return true;
    if (payload.starts_with("OFFR\n") || payload.starts_with("OFDR\n")) {
        bool keep = false;
        return installer::parseOffer(payload, keep);
    }
    return false;
}

// What a reply must be whoever asked.
void checkWellFormed(const Outcome& outcome, const Mac& asker, std::string_view request) {
    if (!outcome.reply)
        return;
    Header header;
    std::string_view payload;
    if (outcome.size > maxDatagram ||
        parseDatagram(outcome.reply, outcome.size, header, payload) != Drop::none)
        failWith("a reply that is not a datagram");
    if (header.source != serverMac || header.destination != asker)
        failWith("a reply from another station or to another machine");
    if (outcome.drop != Drop::none)
        failWith("a reply to a dropped datagram");
    std::string name;
    int32_t size = 0;
    bool announcement =
        installer::parseFileAnnouncement(payload, name, size) == installer::Announcement::file;
    if (!isProtocolWord(payload) && !announcement &&
        !(outcome.repeated || startsWith(request, "RETR")))
        failWith("a reply that is no message of the protocol: " + std::string(payload));
}

// A reply to a request made in order: taken by the installer's rule, and what it says fits
// what the machine knows.
void checkInOrder(Client& client, const Outcome& outcome, std::string_view request) {
    if (!outcome.reply) {
        // An unanswerable request (out of place) goes unanswered; the installer would send it
        // again under the same number, so the next request takes that number.
        client.peer.sent -= 1;
        return;
    }
    installer::Packet packet;
    std::memcpy(packet.bytes, outcome.reply, outcome.size);
    installer::NetPeer first = client.peer;
    if (!installer::acceptPacket(client.peer, packet, long(outcome.size)))
        failWith("the installer refuses the reply to a request made in order");
    if (isZero(first.peerAddress))
        client.peer.peerAddress = packet.source();
    std::string_view payload = packet.payloadText();
    if (request != "RETR")
        return;
    if (client.reading) {
        if (payload.empty()) {
            if (client.fileRead != client.fileSize)
                failWith(client.file + " ended after " + std::to_string(client.fileRead) +
                         " bytes of " + std::to_string(client.fileSize));
            client.reading = false;
            return;
        }
        for (char byte : payload)
            if (uint8_t(byte) != patternByte(client.file, client.fileRead++))
                failWith(client.file + ": a byte not served at its offset");
        if (client.fileRead > client.fileSize)
            failWith(client.file + ": more bytes than announced");
        return;
    }
    int32_t size = 0;
    auto seen = installer::parseFileAnnouncement(payload, client.file, size);
    if (seen == installer::Announcement::file) {
        client.reading = true;
        client.fileSize = uint64_t(size);
        client.fileRead = 0;
    } else if (payload != "DONE") {
        failWith("RETR between files answered by neither FILE nor DONE");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    PatternSource source;
    EngineSettings settings;
    Engine engine(servedContent(), settings, source);
    Client clients[4];
    for (int i = 0; i < 4; ++i) {
        clients[i].mac = clientMacs[i];
        clients[i].peer.ownAddress = clientMacs[i];
    }
    int64_t now = 1'000'000;
    int steps = 0;
    while (!cursor.empty() && ++steps <= 400) {
        uint8_t op = cursor.byte();
        Client& client = clients[(op >> 3) & 3];
        if (op & 0x80) {
            now += int64_t(cursor.byte()) * 20'000'000;
            engine.tick(now);
        }
        now += 1000;
        std::vector<uint8_t> datagram;
        std::string request;
        bool inOrder = true, repeat = false;
        if (op & 0x20 && !client.lastDatagram.empty()) {
            datagram = client.lastDatagram;
            repeat = true;
            inOrder = false;
        } else {
            switch (op & 7) {
            case 0:
                request = installer::driverRequest(cursor.byte() & 1 ? "6.1.0" : "5.10.0");
                datagram = compose(client, request, true);
                break;
            case 1: {
                std::string label(cursor.bytes(cursor.byte() & 7));
                request = installer::discoveryRequest("", "", label);
                datagram = compose(client, request, true);
                break;
            }
            case 2:
            case 3:
            case 4:
            case 5:
                request = std::string(&"RETRYACKSTRTWTRM"[((op & 7) - 2) * 4], 4);
                datagram = compose(client, request, false);
                break;
            case 6:
                request = std::string(cursor.bytes(cursor.u16() % (installer::maxPayload + 1)));
                datagram = compose(client, request, (op & 0x40) != 0);
                inOrder = false;
                break;
            default: {
                std::string_view raw = cursor.bytes(cursor.u16() % (maxDatagram + 64));
                datagram.assign(raw.begin(), raw.end());
                inOrder = false;
                break;
            }
            }
            if (op & 0x40 && (op & 7) != 6 && datagram.size() >= headerSize) {
                datagram[installer::fieldSequence] ^= cursor.byte();
                datagram[installer::fieldAcknowledgement] ^= cursor.byte();
                inOrder = false;
            }
        }
        const Mac asker = datagram.size() >= 6 ? Mac{datagram[0], datagram[1], datagram[2],
                                                     datagram[3], datagram[4], datagram[5]}
                                               : Mac{};
        Outcome outcome = engine.handle(datagram.data(), datagram.size(), 0, serverMac, now);
        std::string_view asked;
        if (datagram.size() >= headerSize)
            asked = std::string_view(reinterpret_cast<const char*>(datagram.data()) + headerSize,
                                     datagram.size() - headerSize);
        checkWellFormed(outcome, asker, asked);
        bool mine = asker == client.mac;
        for (Client& other : clients)
            if (&other != &client && other.mac == asker) {
                // Its machine heard a datagram it did not send.
                other.lastDatagram.clear();
                other.lastReply.clear();
            }
        if (repeat && outcome.reply && !client.lastReply.empty() &&
            std::vector<uint8_t>(outcome.reply, outcome.reply + outcome.size) != client.lastReply)
            failWith("a repeated request got another reply");
        if (inOrder && mine && client.trusted) {
            checkInOrder(client, outcome, request);
        } else if (outcome.reply && !outcome.repeated) {
            // The server moved on with a machine whose numbering the harness did not keep.
            for (Client& other : clients)
                if (other.mac == asker)
                    other.trusted = false;
        }
        if (mine && !repeat) {
            client.lastDatagram = datagram;
            if (outcome.reply)
                client.lastReply.assign(outcome.reply, outcome.reply + outcome.size);
            else
                client.lastReply.clear();
        }
    }
    return 0;
}
