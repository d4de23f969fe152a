// One machine as the server sees it, and the conversation it holds with it. The driver
// conversation and the installation conversation are separate: each begins with the client's
// broadcast, the server's first reply carries sequence 1, and from there each side numbers its
// messages on, modulo 2^16. The last reply is kept so that a repeated request (same sequence
// number) gets the very same datagram again.
#pragma once

#include "tools/install-server/layout.h"
#include "tools/install-server/wire.h"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace iserver {

enum class Phase { drivers, offered, preparing, sending, farewell, done, failed };
const char* phaseName(Phase phase);

// Reads served bytes; the server reads the descriptor of the snapshot, tests give memory.
class BlockSource {
public:
    virtual ~BlockSource() = default;
    // Up to `size` bytes at `offset`; the count read, or -1 with errno set.
    virtual long read(const ServedFile& file, uint64_t offset, uint8_t* data, size_t size) = 0;
};

class DescriptorSource : public BlockSource {
public:
    long read(const ServedFile& file, uint64_t offset, uint8_t* data, size_t size) override;
};

// What one file sent to a machine came to.
struct FileRecord {
    std::string name;
    uint64_t bytes = 0;
    std::string sha256; // hex, of the bytes sent; set once the file was sent whole
    bool complete = false;
};

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void reset();
    void update(const uint8_t* data, size_t size);
    std::string finishHex();

private:
    EVP_MD_CTX* context;
};

struct Conversation {
    enum class Kind { none, driver, install } kind = Kind::none;
    Mac server{};             // the hardware address of the interface the machine talks to
    int interface = 0;        // its index
    uint16_t sent = 0;        // sequence number of the server's last reply
    uint16_t lastRequest = 0; // sequence number of the client's last request taken
    uint16_t ackToSend = 0;   // what the reply being made acknowledges
    std::array<uint8_t, maxDatagram> reply{};
    size_t replySize = 0;
    std::vector<FilePtr> files; // what this conversation sends, fixed when it began
    size_t index = 0;           // the file being (or next to be) sent
    bool announced = false;     // its FILE went out; RETR now asks for data
    uint64_t offset = 0;
    Sha256 hash;
};

struct Machine {
    Mac mac{};
    std::string label, release;
    Phase phase = Phase::drivers;
    bool driversComplete = false;
    bool lost = false;
    int64_t firstSeen = 0, lastHeard = 0, finished = 0; // microseconds
    uint64_t bytes = 0, totalBytes = 0;                 // sent, and to send in the installation
    uint64_t bytesAtSample = 0, bytesAtOffer = 0;
    int64_t sampleTime = 0;
    double rate = 0; // bytes per second, smoothed
    uint32_t retransmissions = 0;
    uint32_t restarts = 0;
    std::string failure;
    std::vector<FileRecord> files;
    Conversation conversation;

    // "file 3 of 7", "preparing disk", ... as the live table shows it.
    std::string phaseText() const;
    // Done, failed or lost: nothing more is expected of it.
    bool settled() const { return lost || phase == Phase::done || phase == Phase::failed; }
    // Something is under way that a draining server waits for.
    bool busy() const;
};

} // namespace iserver
