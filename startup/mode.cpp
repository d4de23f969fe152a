#include "startup/mode.h"

#include <cstring>

namespace installer {

bool hasHardDiskArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i] && std::strcmp(argv[i], "-hdd-install") == 0)
            return true;
    return false;
}

void readModeText(FILE* stream, char* text) {
    text[0] = '\0';
    if (!stream || !std::fgets(text, 80, stream)) {
        text[0] = '\0';
        return;
    }
    text[std::strcspn(text, "\n")] = '\0';
}

InstallMode chooseInstallMode(bool hardDiskArgument, const char* modeText) {
    if (hardDiskArgument)
        return InstallMode::hardDisk;
    if (std::strcmp(modeText, "cdrom") == 0)
        return InstallMode::cdrom;
    if (std::strcmp(modeText, "net") == 0)
        return InstallMode::network;
    return InstallMode::unknown;
}

} // namespace installer
