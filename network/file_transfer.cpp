#include "network/file_transfer.h"

#include "network/protocol_text.h"
#include "startup/child_process.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace installer {

namespace {

constexpr int64_t blockTimeout = 20000; // µs: a lost reply is asked for again after 20 ms
constexpr int blockTries = 300;         // about 6 seconds of silence per block

// Sends RETR and puts the next message of the server into the transfer's block.
bool requestBlock(FileTransfer& transfer) {
    Packet request;
    request.clear();
    std::memcpy(request.payload(), "RETR", 4);
    buildHeader(*transfer.peer, request, 4);
    return exchange(*transfer.interface, *transfer.peer, request, transfer.block, blockTimeout,
                    blockTries) >= 0;
}

} // namespace

FileTransfer& startTransfer(NetLink& link) {
    link.transfer = std::make_unique<FileTransfer>();
    link.transfer->interface = link.selectedInterface();
    link.transfer->peer = &link.peer;
    return *link.transfer;
}

NextFile nextFile(FileTransfer& transfer) {
    transfer.name.clear();
    transfer.size = 0;
    transfer.blockLength = 0;
    transfer.position = 0;
    if (!requestBlock(transfer))
        return NextFile::noAnswer;
    switch (parseFileAnnouncement(transfer.block.payloadText(), transfer.name, transfer.size)) {
    case Announcement::file:
        return NextFile::announced;
    case Announcement::endOfList:
        return NextFile::endOfList;
    case Announcement::malformed:
        break;
    }
    return NextFile::malformed;
}

long readFileData(FileTransfer& transfer, unsigned char* buffer, size_t maximum) {
    if (transfer.position == transfer.blockLength) {
        if (!requestBlock(transfer))
            return -1;
        transfer.blockLength = transfer.block.payloadLength();
        transfer.position = 0;
        if (transfer.blockLength == 0)
            return 0;
    }
    size_t n = std::min(maximum, transfer.blockLength - transfer.position);
    std::memcpy(buffer, transfer.block.payload() + transfer.position, n);
    transfer.position += n;
    return static_cast<long>(n);
}

bool streamToInstaller(NetLink& link, InstallerMode mode) {
    std::FILE* pipe = openInstallerPipe(mode);
    if (!pipe) {
        std::printf("\nFATAL ERROR: couldn't start install\n");
        return false;
    }
    unsigned char buffer[packetSize];
    for (;;) {
        long n = readFileData(*link.transfer, buffer, sizeof buffer);
        if (n < 0) {
            std::printf("\nFATAL ERROR: bad network connection\n");
            closePipedChild(pipe);
            return false;
        }
        if (n == 0) {
            // The child reports its own failures; only a failing target stops the flow.
            return !targetFailed(closePipedChild(pipe));
        }
        // Each block goes on at once: the child works while the next one is on its way.
        if (std::fwrite(buffer, 1, static_cast<size_t>(n), pipe) != static_cast<size_t>(n) ||
            std::fflush(pipe) != 0) {
            std::printf("\n");
            closePipedChild(pipe);
            return false;
        }
    }
}

} // namespace installer
