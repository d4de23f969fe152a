// Stand-ins until the CD-ROM and hard-disk flows exist: they say so and fail, so that start-up
// waits for ENTER and restarts.
#include "flows/flows.h"
#include "startup/console.h"

#include <cstdio>

bool cdromInstall(DiskRecord&) {
    std::printf("\nFATAL ERROR: CD-ROM installation is not available in this build\n");
    return false;
}

bool hardDiskInstall(DiskRecord&) {
    showBanner("hard disk installation");
    std::printf("\nFATAL ERROR: hard-disk installation is not available in this build\n");
    return false;
}
