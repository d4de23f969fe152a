#include "testbed/net_peer.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

using namespace installer;

std::unique_ptr<NetInterface> openPeerInterface(const std::string& name) {
    NetLink link;
    scanInterfaces(link);
    for (auto& interface : link.interfaces)
        if (interface->name == name)
            return std::move(interface);
    return nullptr;
}

TestPeer::TestPeer(const std::string& interfaceName, PeerScript script)
    : script_(std::move(script)), interface_(openPeerInterface(interfaceName)) {
    if (interface_)
        peer_.ownAddress = interface_->hardwareAddress;
    if (pipe(wake_) != 0)
        wake_[0] = wake_[1] = -1;
}

TestPeer::~TestPeer() {
    stop();
    for (int fd : {wake_[0], wake_[1], fileFd_})
        if (fd >= 0)
            close(fd);
}

void TestPeer::start() {
    if (interface_ && !thread_.joinable())
        thread_ = std::thread([this] { loop(); });
}

void TestPeer::stop() {
    if (!thread_.joinable())
        return;
    char byte = 0;
    if (write(wake_[1], &byte, 1) != 1)
        return;
    thread_.join();
}

std::vector<PeerRequest> TestPeer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t TestPeer::count(const std::string& word) const {
    std::lock_guard lock(mutex_);
    return std::count_if(requests_.begin(), requests_.end(),
                         [&](const PeerRequest& r) { return r.word == word; });
}

void TestPeer::loop() {
    Packet packet;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(interface_->socket, &set);
        FD_SET(wake_[0], &set);
        int highest = std::max(interface_->socket, wake_[0]);
        if (select(highest + 1, &set, nullptr, nullptr, nullptr) < 0)
            continue;
        if (FD_ISSET(wake_[0], &set))
            return;
        long size;
        while ((size = receivePacket(*interface_, packet)) >= 0)
            handle(packet, size);
    }
}

void TestPeer::handle(const Packet& packet, long size) {
    if (size < static_cast<long>(headerSize) || packet.source() == peer_.ownAddress)
        return;
    std::string word(packet.payloadText().substr(0, 4));
    bool opening = isZeroAddress(packet.destination()) && packet.sequence() == 1;
    if (opening && (word == "DRVR" || word == "DSCV")) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(
                {word, 1, nowMicros(), false, word == "DRVR" ? "drivers" : "install"});
        }
        if (word == "DRVR" && script_.offerDrivers)
            beginConversation(packet, "drivers");
        if (word == "DSCV")
            beginConversation(packet, "install");
        return;
    }
    if (phase_.empty() || packet.source() != peer_.peerAddress)
        return;
    // What the installer says to another server on the same link is not for this one.
    if (packet.destination() != peer_.ownAddress)
        return;
    bool repeat = packet.sequence() == static_cast<uint16_t>(peer_.received);
    if (!repeat) {
        installer::NetPeer check = peer_;
        if (!acceptPacket(check, packet, size))
            return;
        peer_ = check;
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back({word, peer_.received, nowMicros(), repeat, phase_});
    }
    if (repeat) {
        resendLast();
        return;
    }
    answer(word);
}

void TestPeer::beginConversation(const Packet& packet, const std::string& phase) {
    phase_ = phase;
    peer_.peerAddress = packet.source();
    peer_.sent = 0;
    peer_.received = 0; // a first reply acknowledges nothing
    fileIndex_ = 0;
    inFile_ = false;
    PeerReply reply;
    reply.request = phase == "drivers" ? "DRVR" : "DSCV";
    reply.requestNumber = 1;
    reply.phase = phase;
    std::string text = phase == "drivers" ? std::string("OFDR") : script_.offer;
    reply.size = composeDatagram(peer_, reply.packet, text);
    if (script_.offerToNobody && phase == "install")
        reply.packet.setDestination({});
    send(reply);
}

void TestPeer::answer(const std::string& word) {
    std::string text;
    if (word == "RETR") {
        if (!nextReplyText(text))
            return;
    } else if (word == "YACK") {
        text = "OKAY";
    } else if (word == "STRT") {
        if (!script_.answerStart)
            return;
        text = "OKAY";
    } else if (word == "WTRM") {
        if (!script_.answerFarewell)
            return;
        text = "TERM";
    } else {
        return;
    }
    PeerReply reply;
    reply.request = word;
    reply.requestNumber = peer_.received;
    reply.phase = phase_;
    reply.size = composeDatagram(peer_, reply.packet, text);
    send(reply);
}

// The next message of the file list: an announcement, a block, the empty block, the end.
bool TestPeer::nextReplyText(std::string& text) {
    bool drivers = phase_ == "drivers";
    size_t count = drivers ? 1 : script_.files.size();
    auto fileAt = [&](size_t n) -> const PeerFile& {
        return drivers ? script_.driver : script_.files[n];
    };
    if (!inFile_) {
        if (fileIndex_ >= count) {
            text = script_.endOfList;
            return true;
        }
        const PeerFile& file = fileAt(fileIndex_);
        inFile_ = true;
        offset_ = 0;
        block_ = 0;
        if (!file.announcement.empty()) {
            text = file.announcement;
            return true;
        }
        size_t size = file.data.size();
        if (!file.path.empty()) {
            int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
            size = fd < 0 ? 0 : static_cast<size_t>(lseek(fd, 0, SEEK_END));
            if (fd >= 0)
                close(fd);
        }
        text = "FILE\n" + file.name + "\n" + std::to_string(size) + "\n";
        return true;
    }
    const PeerFile& file = fileAt(fileIndex_);
    size_t length;
    if (!file.blockSizes.empty())
        length = block_ < file.blockSizes.size() ? file.blockSizes[block_] : 0;
    else
        length = maxPayload;
    if (!readBlock(file, offset_, length, text))
        return false;
    offset_ += text.size();
    ++block_;
    if (text.empty()) {
        inFile_ = false;
        ++fileIndex_;
    }
    return true;
}

bool TestPeer::readBlock(const PeerFile& file, size_t offset, size_t length, std::string& out) {
    out.clear();
    if (file.endless && file.path.empty() && offset >= file.data.size()) {
        out.assign(length, 'e');
        return true;
    }
    if (file.path.empty()) {
        if (offset < file.data.size())
            out = file.data.substr(offset, length);
        if (!file.blockSizes.empty())
            out.resize(length, 'x'); // scripted sizes win over the data
        return true;
    }
    if (openPath_ != file.path) {
        if (fileFd_ >= 0)
            close(fileFd_);
        fileFd_ = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        openPath_ = file.path;
    }
    if (fileFd_ < 0)
        return false;
    out.resize(length);
    ssize_t got = pread(fileFd_, out.data(), length, static_cast<off_t>(offset));
    if (got < 0)
        return false;
    out.resize(static_cast<size_t>(got));
    return true;
}

void TestPeer::resendLast() {
    if (!haveLast_)
        return;
    PeerReply again = last_;
    again.repeat = true;
    again.drop = false;
    again.copies = 1;
    again.before.clear();
    if (script_.tamper)
        script_.tamper(again);
    transmit(again);
}

void TestPeer::send(PeerReply& reply) {
    if (script_.tamper)
        script_.tamper(reply);
    last_ = reply;
    haveLast_ = true;
    transmit(reply);
}

void TestPeer::transmit(const PeerReply& reply) {
    for (auto& [packet, size] : reply.before)
        sendPacket(*interface_, packet, size);
    if (reply.drop)
        return;
    for (int n = 0; n < reply.copies; ++n)
        sendPacket(*interface_, reply.packet, reply.size);
}
