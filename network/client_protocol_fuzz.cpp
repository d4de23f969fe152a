// The installer's side of the installation protocol on arbitrary datagrams: the acceptance
// rule, the offer and file announcements, the disk label, and the writing of a configuration
// script under the name a server announced, into the fuzz scratch world's "/flash"
// (testbed/fuzz_support.h).
//
// Input: a list of steps, each a flag byte and a datagram (a 16-bit length, then its bytes).
// Flags: the client sends a request first; the harness writes a header that follows the
// conversation so that the payload reaches the parsers; the step is a round trip between a
// server's and the client's numbering at counts taken from the input.
//
// Beyond crashes, a run fails when a datagram is taken that breaks the conversation (wrong
// size, own, for another station, from another server, acknowledging what was never sent, out
// of sequence), when one that follows it is refused, when an announcement is taken with a name
// or size the client must not use, or when a script is written anywhere but below "/flash".
#include "network/configuration_script.h"
#include "network/packet.h"
#include "network/protocol_text.h"
#include "network/transport.h"
#include "testbed/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace installer;

namespace {

const HardwareAddress own{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const HardwareAddress server{0x02, 0x53, 0x56, 0x00, 0x00, 0x01};

void failWith(const char* what) {
    std::fprintf(stderr, "client protocol: %s\n", what);
    std::abort();
}

// The rule restated from the conversation's side, to compare with what acceptPacket decided.
bool follows(const NetPeer& before, const Packet& packet, long size) {
    if (size < long(headerSize) || size - long(headerSize) != packet.payloadLength())
        return false;
    HardwareAddress source = packet.source(), destination = packet.destination();
    bool chosen = !isZeroAddress(before.peerAddress);
    if (source == own || (chosen && source != before.peerAddress))
        return false;
    if (isZeroAddress(destination) ? chosen : destination != own)
        return false;
    // Acknowledged: one of the messages 0..sent, counted modulo 2^16.
    uint32_t back = uint16_t(before.sent - packet.acknowledgement());
    return back <= before.sent && packet.sequence() == uint16_t(before.received + 1);
}

void checkOffer(std::string_view payload) {
    bool keep = true;
    bool taken = parseOffer(payload, keep);
    size_t first = payload.find('\n');
    size_t second = first == payload.npos ? payload.npos : payload.find('\n', first + 1);
    bool wellFormed = second != payload.npos && second - first - 1 <= maxOfferLine;
    if (taken != wellFormed)
        failWith("offer taken or refused against its layout");
    size_t third = second == payload.npos ? payload.npos : payload.find('\n', second + 1);
    if (keep && (!taken || third == payload.npos || payload.substr(second + 1, 5) != "keep\n"))
        failWith("keep without a third line \"keep\"");
}

// A taken announcement: a name the client can write under and a size it can hold, announced
// the same when sent again.
void checkAnnouncement(std::string_view payload, std::string& name, int32_t& size) {
    Announcement seen = parseFileAnnouncement(payload, name, size);
    if (seen != Announcement::file) {
        if (!name.empty() || size != 0)
            failWith("a refused announcement left a name or size");
        if ((seen == Announcement::endOfList) != (payload.substr(0, 4) != "FILE"))
            failWith("end of list decided on more than the word");
        return;
    }
    if (name.size() > maxFileName || name.find('\0') != name.npos || name.find('\n') != name.npos ||
        size < 0)
        failWith("announcement taken with a bad name or size");
    std::string again, text = "FILE\n" + name + "\n" + std::to_string(size);
    int32_t sizeAgain = -1;
    if (parseFileAnnouncement(text, again, sizeAgain) != Announcement::file || again != name ||
        sizeAgain != size)
        failWith("announcement does not read back");
}

void checkLabel(std::string_view line) {
    std::string label = diskLabelFromLine(line);
    if (label.empty() || label.size() > maxDiskLabel)
        failWith("disk label empty or too long");
    for (char c : label)
        if (!std::isgraph(static_cast<unsigned char>(c)))
            failWith("disk label keeps a blank or control byte");
}

// Writes the script as the client would: the announced name below /flash, the data of the
// block in hand, then the next block asked for on an interface that cannot send.
void writeScript(NetPeer& peer, const Packet& block, const std::string& name, int32_t size) {
    NetInterface interface;
    interface.socket = -1;
    FileTransfer transfer;
    transfer.name = name;
    transfer.size = size;
    transfer.block = block;
    transfer.blockLength = block.payloadLength();
    transfer.interface = &interface;
    transfer.peer = &peer;
    // An empty script goes to a fixed place of its own, here inside the root.
    writeConfigurationScript(transfer, "/flash", "/flash/.empty");
    std::string what;
    if (fuzz::outsideChanged("/flash", what)) {
        std::fprintf(stderr, "script %s written outside /flash:\n%s", name.c_str(), what.c_str());
        std::abort();
    }
}

// What a server left in /flash before: links out of it.
void populate() {
    symlink("/", "/flash/top");
    symlink("..", "/flash/up");
    symlink("/outside/decoy", "/flash/decoy.scr");
    symlink("../outside/dir", "/flash/out");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, true);
    // The messages of the client go nowhere.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, 1) < 0)
        std::abort();
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    NetPeer peer;
    peer.ownAddress = own;
    bool chosen = false, populated = false;
    Packet packet;
    int steps = 0;
    while (!cursor.empty() && ++steps <= 64) {
        uint8_t flags = cursor.byte();
        if (flags & 0x80 && !populated) {
            populate();
            populated = true;
        }
        if (flags & 4) {
            // Numbering past 65,535 messages: what a server composes is what the client takes.
            NetPeer client, station;
            client.ownAddress = station.peerAddress = own;
            station.ownAddress = client.peerAddress = server;
            client.sent = station.received = cursor.u32() >> (cursor.byte() & 31);
            client.received = station.sent = cursor.u32() >> (cursor.byte() & 31);
            size_t length = composeDatagram(station, packet, cursor.bytes(cursor.byte()));
            if (!acceptPacket(client, packet, long(length)) ||
                client.received != uint32_t(station.sent))
                failWith("a reply that follows the conversation was refused");
            continue;
        }
        if (flags & 1) {
            Packet request;
            request.clear();
            buildHeader(peer, request, 4);
        }
        // Before a server is chosen, every datagram is looked at as a first reply.
        if (!chosen)
            peer.reset();
        packet.clear();
        size_t length = cursor.u16() % (packetSize + 1);
        std::string_view bytes = cursor.bytes(length);
        if (flags & 2) {
            // A header that follows the conversation; the bytes are the payload.
            bytes = bytes.substr(0, maxPayload);
            std::memcpy(packet.payload(), bytes.data(), bytes.size());
            packet.setSource(server);
            packet.setDestination(own);
            packet.setField(fieldPayloadLength, uint16_t(bytes.size()));
            packet.setField(fieldSequence, uint16_t(peer.received + 1));
            packet.setField(fieldAcknowledgement, uint16_t(peer.sent));
            length = headerSize + bytes.size();
        } else {
            std::memcpy(packet.bytes, bytes.data(), bytes.size());
            length = bytes.size();
        }
        NetPeer before = peer;
        bool expected = follows(before, packet, long(length));
        bool taken = acceptPacket(peer, packet, long(length));
        if (taken != expected)
            failWith(taken ? "took a datagram that breaks the conversation"
                           : "refused a datagram that follows the conversation");
        if (peer.received != before.received + (taken ? 1 : 0) || peer.sent != before.sent)
            failWith("counts moved by more than the datagram taken");
        if (!taken)
            continue;
        if (!chosen && !isZeroAddress(packet.destination())) {
            chosen = true;
            peer.peerAddress = packet.source();
        }
        std::string_view payload = packet.payloadText();
        if (payload.size() != packet.payloadLength())
            failWith("payload text is not the declared payload");
        if (packet.payloadBeginsWith("OFFR"))
            checkOffer(payload);
        checkLabel(payload);
        std::string name;
        int32_t announced = 0;
        checkAnnouncement(payload, name, announced);
        if (!name.empty() && isConfigurationScript(name)) {
            writeScript(peer, packet, name, announced);
            fuzz::clearDirectory("/flash");
            populated = false;
        }
    }
    if (populated)
        fuzz::clearDirectory("/flash");
    return 0;
}
