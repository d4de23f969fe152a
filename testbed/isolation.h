#pragma once
// The sandbox's first process: cloned into fresh PID, mount, network, UTS and IPC namespaces, it
// lays out the root, takes the console as its controlling terminal, chroots, gives up the
// capabilities to restart the machine and to load kernel modules, and becomes the program. Any
// step that fails is reported on statusFd and the program is not run.
#include "testbed/boot_root.h"

#include <sys/types.h>
#include <vector>

struct IsolationPlan {
    const char* rootDir = nullptr; // empty host directory; a tmpfs is mounted on it privately
    const std::vector<RootStep>* rootSteps = nullptr;
    int consoleFd = -1; // pty slave: controlling terminal and, unless serial, stdin/out/err
    bool serialConsole = false;
    int networkNamespaceFd = -1;   // joined instead of the fresh network namespace, when set
    const char* program = nullptr; // path inside the root
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    // When the kernel cannot run the program itself (a 32-bit program on a kernel without
    // 32-bit support), it is run through this user-mode emulator inside the root instead.
    const char* emulator = nullptr;
    char* const* emulatorArgv = nullptr;
    int statusFd = -1; // close-on-exec; receives a message when a step fails
};

// Clones the first process; its host pid, or -1.
pid_t startIsolated(const IsolationPlan& plan);

// Removes CAP_SYS_BOOT and CAP_SYS_MODULE from the bounding, effective, permitted, inheritable
// and ambient sets of the calling process and checks that they are gone.
bool dropRestartAndModuleCapabilities();
