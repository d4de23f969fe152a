#pragma once
// A scriptable install server for tests: it speaks the installation protocol on one interface
// of a network namespace and serves a driver package and a list of files, while hooks make it
// do what a correct server never does (drop, repeat, misaddress, send from a foreign station,
// malformed offers and announcements, silence). Runs on a thread of its own.
#include "network/transport.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct PeerFile {
    std::string name;
    std::string data;               // the bytes, or
    std::string path;               // a host file read as it is served
    std::string announcement;       // replaces the FILE text when not empty
    std::vector<size_t> blockSizes; // data blocks of these sizes, then the empty one
    bool endless = false;           // after `data`, full blocks of filler and never the end
};

// One reply about to be sent; a hook may change it.
struct PeerReply {
    std::string request;    // command word of the request answered ("DATA" for none)
    uint32_t requestNumber; // sequence number of the request (32-bit count)
    std::string phase;      // "drivers" or "install"
    installer::Packet packet;
    size_t size = 0;
    bool repeat = false; // the answer to a repeated request (the hook sees it again)
    bool drop = false;   // nothing is sent
    int copies = 1;      // sent this many times
    std::vector<std::pair<installer::Packet, size_t>> before; // sent first, verbatim
};

struct PeerRequest {
    std::string word;
    uint32_t sequence;
    int64_t micros;
    bool repeat;
    std::string phase; // "drivers" or "install": one installer may pick a server for each
};

struct PeerScript {
    bool offerDrivers = true;
    PeerFile driver{"drivers.rpx", {}, {}, {}, {}};
    std::vector<PeerFile> files;
    std::string offer = "OFFR\ntest peer\n"; // the whole OFFR text
    bool offerToNobody = false;              // OFFR with an all-zero destination
    std::string endOfList = "DONE";
    bool answerStart = true;
    bool answerFarewell = true;             // TERM to WTRM
    std::function<void(PeerReply&)> tamper; // called before every reply
};

class TestPeer {
public:
    // Opens the socket on `interfaceName` of the namespace the calling thread is in.
    TestPeer(const std::string& interfaceName, PeerScript script);
    ~TestPeer();
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    bool valid() const { return interface_ != nullptr; }
    installer::HardwareAddress address() const { return interface_->hardwareAddress; }
    void start();
    void stop(); // and join
    // Every request from the installer so far, repeats included.
    std::vector<PeerRequest> requests() const;
    size_t count(const std::string& word) const;

private:
    void loop();
    void handle(const installer::Packet& packet, long size);
    void beginConversation(const installer::Packet& packet, const std::string& phase);
    void answer(const std::string& word);
    bool nextReplyText(std::string& text);
    void send(PeerReply& reply);
    void resendLast();
    void transmit(const PeerReply& reply);
    bool readBlock(const PeerFile& file, size_t offset, size_t length, std::string& out);

    PeerScript script_;
    std::unique_ptr<installer::NetInterface> interface_;
    installer::NetPeer peer_;
    std::string phase_;
    PeerReply last_;
    bool haveLast_ = false;
    // Where the file list stands.
    size_t fileIndex_ = 0;
    bool inFile_ = false;
    size_t offset_ = 0, block_ = 0;
    int fileFd_ = -1;
    std::string openPath_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<PeerRequest> requests_;
};

// One interface of the calling thread's namespace, opened the installer's way (broadcast,
// bound to the card and to port 5000); null when that fails.
std::unique_ptr<installer::NetInterface> openPeerInterface(const std::string& name);
