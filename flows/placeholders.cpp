// Stand-in until the CD-ROM flow exists: it says so and fails, so that start-up
// waits for ENTER and restarts.
#include "flows/flows.h"
#include "startup/console.h"

#include <cstdio>

bool cdromInstall(DiskRecord&) {
    std::printf("\nFATAL ERROR: CD-ROM installation is not available in this build\n");
    return false;
}
