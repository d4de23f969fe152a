// Receiving the files the install server offers, block by block: one RETR per block, each
// answered by the next data message; an empty one ends the file.
#pragma once

#include "network/installer_child.h"
#include "network/transport.h"

namespace installer {

enum class NextFile {
    announced, // name and size set
    endOfList, // the reply did not begin with "FILE"
    noAnswer,  // the server did not answer the RETR
    malformed, // a FILE announcement that breaks its layout
};

// Asks for the next file (RETR) and reads its announcement.
NextFile nextFile(FileTransfer& transfer);

// Up to `maximum` bytes of the current file into buffer: their number, 0 at the end of the
// file, -1 when the server did not answer. The announced size plays no part.
long readFileData(FileTransfer& transfer, unsigned char* buffer, size_t maximum);

// Feeds the link's current file into a package-installer child in the given mode; false after
// a printed fatal error.
bool streamToInstaller(NetLink& link, InstallerMode mode);

// A fresh transfer on the link's selected interface, replacing the one before.
FileTransfer& startTransfer(NetLink& link);

} // namespace installer
