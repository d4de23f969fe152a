// Stand-in until the network installation exists: it says so and fails, so that start-up
// waits for ENTER and restarts.
#include "network/network_install.h"
#include "startup/console.h"

#include <cstdio>

bool runNetworkInstall(DiskRecord&) {
    showBanner("remote installation");
    std::printf("\nFATAL ERROR: network installation is not available in this build\n");
    return false;
}
