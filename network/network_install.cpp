// The network installation flow, from the first DRVR broadcast to the farewell.
#include "network/network_install.h"

#include "disk/boot_record.h"
#include "disk/discovery.h"
#include "disk/modules.h"
#include "disk/post_install.h"
#include "disk/preparation.h"
#include "network/configuration_script.h"
#include "network/file_transfer.h"
#include "network/protocol_text.h"
#include "network/transport_clock.h"
#include "package/owned_handles.h"
#include "package/record/record_root.h"
#include "startup/console.h"
#include "startup/system_interface.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace installer {

namespace {

constexpr int64_t handshakeTimeout = 1000000; // µs per try of YACK and STRT
constexpr int handshakeTries = 5;

// Composes a request and numbers it on the current conversation.
void composeRequest(NetLink& link, Packet& packet, std::string_view text) {
    composeDatagram(link.peer, packet, text);
}

// Clears the packet and places a broadcast payload (the header is broadcast's).
size_t placePayload(Packet& packet, std::string_view text) {
    packet.clear();
    size_t length = std::min(text.size(), maxPayload);
    std::memcpy(packet.payload(), text.data(), length);
    return length;
}

// DRVR once a second until a server offers drivers.
void awaitDriverOffer(NetLink& link) {
    utsname system{};
    uname(&system);
    std::string request = driverRequest(system.release);
    Packet packet;
    for (;;) {
        size_t length = placePayload(packet, request);
        // A failed send still leaves the one-second window to wait out before the next try.
        broadcast(link, packet, length);
        if (awaitReply(link, packet, "OFDR"))
            return;
    }
}

bool receiveDrivers(NetLink& link) {
    FileTransfer& transfer = startTransfer(link);
    if (nextFile(transfer) != NextFile::announced) {
        std::printf("\nFATAL ERROR: could not retrieve disk drivers\n");
        return false;
    }
    std::printf("Retrieving drivers...\n");
    return streamToInstaller(link, InstallerMode::driverPackage);
}

void findServer(NetLink& link, const std::string& label, bool& keep) {
    for (;;) {
        std::printf("\nWaiting for installation server...\n");
        if (!link.interfaces.empty()) {
            discoverServer(link, "", "", label, keep);
            return;
        }
        std::printf("\nCouldn't find any installation server on network\n");
        // Nothing can answer without a card: look again, once a second.
        currentSystem().pause(1);
        scanInterfaces(link);
    }
}

bool startTransferOfFiles(NetLink& link) {
    std::printf("\n");
    Packet request, reply;
    composeRequest(link, request, "STRT");
    if (exchange(*link.selectedInterface(), link.peer, request, reply, handshakeTimeout,
                 handshakeTries) < 0) {
        std::printf("\nFATAL ERROR: server refused to install\n");
        return false;
    }
    return true;
}

// Every file the server offers, until the end of its list.
bool receiveFiles(NetLink& link) {
    for (;;) {
        FileTransfer& transfer = startTransfer(link);
        switch (nextFile(transfer)) {
        case NextFile::endOfList:
            return true;
        case NextFile::noAnswer:
            // Not the end of the list: files the server still had would be missing.
            std::printf("\nFATAL ERROR: bad network connection\n");
            return false;
        case NextFile::malformed:
            std::printf("\nFATAL ERROR: bad file announcement from server\n");
            return false;
        case NextFile::announced:
            break;
        }
        bool done = isConfigurationScript(transfer.name)
                        ? writeConfigurationScript(transfer)
                        : streamToInstaller(link, InstallerMode::softwarePackage);
        if (!done)
            return false;
    }
}

void finish(const DiskRecord& target) {
    int marker = ::open(TargetPath("/CDINSTALL"), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (marker >= 0)
        ::close(marker);
    finishInstall(target);
    installFinished = 1;
    std::printf("\nSoftware installed.\nPress ENTER to reboot\n");
}

// WTRM once a second until a key is pressed or the server says TERM.
void farewell(NetLink& link) {
    Packet request, reply;
    composeRequest(link, request, "WTRM");
    NetInterface& interface = *link.selectedInterface();
    size_t size = headerSize + request.payloadLength();
    for (;;) {
        sendPacket(interface, request, size);
        timeval limit{1, 0};
        for (;;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(0, &readable);
            FD_SET(interface.socket, &readable);
            int ready = transportClock().waitReadable(interface.socket + 1, readable, limit);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break; // the second is up: WTRM again
            if (FD_ISSET(0, &readable))
                return;
            // Whatever arrives that is not TERM, valid or not, only shortens the wait: the
            // request goes out again once a second, never faster.
            long got = receivePacket(interface, reply);
            if (got >= 0 && acceptPacket(link.peer, reply, got) && reply.payloadBeginsWith("TERM"))
                return;
        }
    }
}

} // namespace

bool discoverServer(NetLink& link, const std::string& fieldA, const std::string& fieldB,
                    const std::string& label, bool& keep) {
    std::string request = discoveryRequest(fieldA, fieldB, label);
    Packet packet;
    for (;;) {
        keep = false;
        size_t length = placePayload(packet, request);
        broadcast(link, packet, length);
        bool offered = false;
        while (!offered && awaitReply(link, packet, "OFFR"))
            offered = parseOffer(packet.payloadText(), keep);
        if (!offered)
            continue;
        Packet yack, reply;
        composeRequest(link, yack, "YACK\n");
        if (exchange(*link.selectedInterface(), link.peer, yack, reply, handshakeTimeout,
                     handshakeTries) >= 0)
            return true;
    }
}

std::string readDiskLabel() {
    char line[maxDiskLabel + 1] = {};
    if (mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) == 0) {
        if (OwnedFile file{std::fopen("/floppy/label.txt", "r")}) {
            if (!std::fgets(line, sizeof line, file.get()))
                line[0] = '\0';
        }
        umount("/floppy");
    }
    return diskLabelFromLine(line);
}

namespace {

bool installOverNetwork(NetLink& link, DiskRecord& target) {
    std::printf("\n");
    for (const auto& interface : link.interfaces)
        std::printf("mac-address: %s\n", formatHardwareAddress(interface->hardwareAddress).c_str());
    std::printf("\nWaiting for drivers...\n");
    awaitDriverOffer(link);
    if (!receiveDrivers(link))
        return false;

    std::printf("Loading drivers\n");
    loadModuleList(storageModules);
    loadModuleList(usbModules);
    if (!findHardDisk(target))
        return false;

    std::string label = readDiskLabel();
    std::printf("disk label: %s\n\n", label.c_str());

    bool keep = false;
    findServer(link, label, keep);
    installBootCode(target.device);
    std::printf("Found server at %s\n\n", formatHardwareAddress(link.peer.peerAddress).c_str());
    if (!prepareDisk(target, keep))
        return false;
    if (!startTransferOfFiles(link) || !receiveFiles(link))
        return false;
    finish(target);
    farewell(link);
    return true;
}

} // namespace

bool runNetworkInstall(DiskRecord& target) {
    showBanner("remote installation");
    NetLink link;
    scanInterfaces(link);
    if (link.interfaces.empty()) {
        std::printf("\nFATAL ERROR: no network card found\n");
        return false;
    }
    // The link closes every socket and frees the transfer on every way out.
    return installOverNetwork(link, target);
}

} // namespace installer
