// Giving up for good the two capabilities through which a slip in a test could restart this
// machine or load code into its kernel: they leave the bounding set (so nothing this process
// starts can regain them) and the effective, permitted and inheritable sets (so this process
// itself cannot use them). Every test binary and fuzz target does this first thing.
#pragma once

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testbed {

inline bool dropCapability(int cap) {
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

// True when neither capability is permitted to this process.
inline bool lacksCapability(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[cap / 32].permitted & (1u << (cap % 32))) == 0;
}

// True when the process holds neither capability afterwards. Without CAP_SETPCAP (an ordinary
// user) the bounding set cannot shrink; a process that lacks the two capabilities and can gain
// none through the programs it starts (no new privileges: set-user-ID bits and file
// capabilities are ignored) is just as safe.
inline bool dropMachineCapabilities() {
    if (dropCapability(CAP_SYS_BOOT) && dropCapability(CAP_SYS_MODULE))
        return true;
    if (prctl(PR_CAPBSET_READ, CAP_SYS_BOOT, 0, 0, 0) != 1 &&
        prctl(PR_CAPBSET_READ, CAP_SYS_MODULE, 0, 0, 0) != 1)
        return true;
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && lacksCapability(CAP_SYS_BOOT) &&
           lacksCapability(CAP_SYS_MODULE);
}

} // namespace testbed
