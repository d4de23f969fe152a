// Stand-in until the hard-disk flow exists: it says so and fails, so that start-up waits for
// ENTER and restarts.
#include "flows/flows.h"
#include "startup/console.h"

#include <cstdio>

bool hardDiskInstall(DiskRecord&) {
    showBanner("hard disk installation");
    std::printf("\nFATAL ERROR: hard-disk installation is not available in this build\n");
    return false;
}
