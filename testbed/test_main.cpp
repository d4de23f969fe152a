// Entry point of every test binary. Before any test runs, the process gives up for good the
// capabilities to restart this machine and to load kernel modules (testbed/capability_guard.h).
#include "testbed/capability_guard.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (!testbed::dropMachineCapabilities()) {
        std::fprintf(stderr, "test main: could not drop CAP_SYS_BOOT/CAP_SYS_MODULE\n");
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
