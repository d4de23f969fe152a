#pragma once
// How this run installs: the command line and the first line of /TYPE decide.
#include <cstdio>

namespace installer {

enum class InstallMode { hardDisk, cdrom, network, unknown };

// True when one of argv[1..argc-1] is exactly "-hdd-install".
bool hasHardDiskArgument(int argc, char** argv);

// The first line of stream, at most 79 characters, without its newline; empty for a null
// stream or an empty one. text must hold 80 bytes.
void readModeText(FILE* stream, char* text);

// "-hdd-install" wins over anything in the mode text.
InstallMode chooseInstallMode(bool hardDiskArgument, const char* modeText);

} // namespace installer
