// Configuration scripts sent by the install server are written straight into the new system.
#pragma once

#include "network/transport.h"
#include "package/record/record_root.h"

namespace installer {

// Writes the transfer's file under /flash with its announced name ("/empty" when the announced
// size is 0). The name is resolved inside /flash: one with a ".." component, or one that would
// write through a link already standing at its place, is refused. False after a printed fatal
// error.
bool writeConfigurationScript(FileTransfer& transfer, const char* root = targetDirectory,
                              const char* emptyTarget = "/empty");

} // namespace installer
