// Entry point of every test binary. Before any test runs, the process gives up for good the two
// capabilities through which a slip in a test could restart this machine or load code into its
// kernel: they leave the bounding set (so nothing this process starts can regain them) and the
// effective, permitted and inheritable sets (so this process itself cannot use them).
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool dropCapability(int cap) {
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && prctl(PR_CAPBSET_READ, cap, 0, 0, 0) != 0)
        return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    unsigned word = cap / 32, bit = 1u << (cap % 32);
    data[word].effective &= ~bit;
    data[word].permitted &= ~bit;
    data[word].inheritable &= ~bit;
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace

int main(int argc, char** argv) {
    // Without CAP_SETPCAP the bounding set cannot shrink; a process that lacks the two
    // capabilities already is just as safe.
    if (!dropCapability(CAP_SYS_BOOT) || !dropCapability(CAP_SYS_MODULE)) {
        if (prctl(PR_CAPBSET_READ, CAP_SYS_BOOT, 0, 0, 0) == 1 ||
            prctl(PR_CAPBSET_READ, CAP_SYS_MODULE, 0, 0, 0) == 1) {
            std::fprintf(stderr, "test main: could not drop CAP_SYS_BOOT/CAP_SYS_MODULE\n");
            return 2;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
