// The virtual machine harness itself: whatever way a run ends, it ends, and nothing of it stays;
// the network card reaches a namespace of the test's own.
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/vm_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

#ifndef INSTALLER32_VM_SCENARIO
#define INSTALLER32_VM_SCENARIO ""
#endif

namespace {

class Vm : public testing::Test {
protected:
    void SetUp() override {
        std::string missing = vmMissing();
        if (!missing.empty())
            GTEST_SKIP() << missing;
    }
    ScratchFiles files{"vm"};
};

TEST_F(Vm, AKernelPanicAndTheTimeLimitEndTheMachineAndNothingOfTheRunStays) {
    {
        // No init anywhere: the kernel panics, and the panic ends the machine.
        VirtualMachine machine(vmDirectStart(vmBootImage(), "rdinit=/none init=/none"));
        ASSERT_TRUE(machine.start()) << machine.error();
        ASSERT_TRUE(machine.wait(60)) << machine.transcript();
        EXPECT_TRUE(machine.panicked()) << machine.transcript();
        EXPECT_FALSE(machine.timedOut());
    }
    std::string image = files.add("boot.img");
    ASSERT_TRUE(bootImageWith(image, [](InitramfsWriter& overlay) {
        overlay.file("/TYPE", "floppy\n"); // the installer waits for ENTER, for ever
    }));
    VmOptions options = vmDirectStart(image, "quiet");
    options.timeLimit = 1;
    VirtualMachine machine(options);
    ASSERT_TRUE(machine.start()) << machine.error();
    pid_t emulator = machine.emulatorPid();
    std::string directory = machine.runDirectory();
    ASSERT_TRUE(machine.wait(20));
    EXPECT_TRUE(machine.timedOut()) << machine.endDescription();
    EXPECT_FALSE(contains(machine.transcript(), "Press ENTER")) << "ran past its time";
    EXPECT_NE(kill(emulator, 0), 0) << "the emulator still runs";
    machine.stop();
    EXPECT_NE(access(directory.c_str(), F_OK), 0) << directory;
}

// A test process that dies without cleaning up takes its machine with it.
TEST_F(Vm, TheEmulatorDiesWithTheProcessThatStartedIt) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t owner = fork();
    if (owner == 0) {
        VirtualMachine machine(vmDirectStart(vmBootImage(), "quiet"));
        if (!machine.start())
            _exit(1);
        pid_t emulator = machine.emulatorPid();
        if (write(report[1], &emulator, sizeof emulator) != sizeof emulator)
            _exit(1);
        pause();
        _exit(0);
    }
    close(report[1]);
    pid_t emulator = -1;
    ASSERT_EQ(read(report[0], &emulator, sizeof emulator), static_cast<ssize_t>(sizeof emulator));
    close(report[0]);
    ASSERT_GT(emulator, 0);
    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    // Once reparented it is reaped by whoever inherits it; a zombie counts as gone too.
    auto gone = [&] {
        std::ifstream stat("/proc/" + std::to_string(emulator) + "/stat");
        std::string pid, name, state;
        return !(stat >> pid >> name >> state) || state == "Z";
    };
    for (int i = 0; i < 100 && !gone(); ++i)
        usleep(50000);
    EXPECT_TRUE(gone()) << "emulator " << emulator << " outlived its owner";
}

// Listens in the namespace for one datagram on UDP port 5000; what arrived, or "".
std::string hearOneBroadcast(const std::string& namespacePath, int seconds) {
    int result[2];
    if (pipe(result) != 0)
        return "";
    pid_t listener = fork();
    if (listener == 0) {
        int ns = open(namespacePath.c_str(), O_RDONLY);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            _exit(1);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        timeval limit{seconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(5000);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            _exit(1);
        char datagram[512];
        ssize_t n = recv(fd, datagram, sizeof datagram, 0);
        if (n > 0 && write(result[1], datagram, static_cast<size_t>(n)) != n)
            _exit(1);
        _exit(0);
    }
    close(result[1]);
    std::string heard;
    char buffer[512];
    ssize_t n;
    while ((n = read(result[0], buffer, sizeof buffer)) > 0)
        heard.append(buffer, static_cast<size_t>(n));
    close(result[0]);
    waitpid(listener, nullptr, 0);
    return heard;
}

TEST_F(Vm, TheNetworkCardReachesTheTestsNamespaceThroughItsTap) {
    VmNetwork network("vmharness", "vmtap0", "10.99.0.1/24");
    ASSERT_TRUE(network.ok()) << network.error();
    std::string image = files.add("boot.img");
    ASSERT_TRUE(bootImageWith(image, [](InitramfsWriter& overlay) {
        overlay.hostFile("/sbin/vm_scenario", INSTALLER32_VM_SCENARIO);
    }));
    VmOptions options =
        vmDirectStart(image, "quiet rdinit=/sbin/vm_scenario -- kernel-fs broadcast:hello restart");
    options.networkNamespace = network.name();
    options.tap = network.tap();
    VirtualMachine machine(options);
    ASSERT_TRUE(machine.start()) << machine.error();
    EXPECT_EQ(hearOneBroadcast(network.path(), 90), "hello") << machine.transcript();
    EXPECT_TRUE(contains(machine.transcript(), "network driver 0\n")) << machine.transcript();
}

} // namespace
