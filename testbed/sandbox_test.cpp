// The sandbox itself: what the program inside sees, and that nothing outlives a run.
#include "testbed/ext_files.h"
#include "testbed/loop_disk.h"
#include "testbed/net_namespace.h"
#include "testbed/sandbox.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

SandboxOptions probeOptions() {
    SandboxOptions options;
    options.program = SANDBOX_PROBE;
    return options;
}

} // namespace

TEST(Sandbox, ProbeRunsAsProcessOneWithoutRestartOrModuleCapabilities) {
    SandboxOptions options = probeOptions();
    options.args = {"-hdd-install", "7"};
    options.type = "cdrom\n";
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.waitFor("say something: ")) << sandbox.transcript();
    sandbox.send("hello\r");
    ASSERT_TRUE(sandbox.wait(10));
    std::string text = sandbox.transcript();
    for (const char* line :
         {"pid=1 hostname=sandbox\n", "cap_sys_boot=gone cap_sys_module=gone",
          "tty0=yes ttyS0=no tty9=yes sda=no hdb=no TYPE=yes", "stdin_is_tty=yes",
          "mount_sysfs=ok\nmount_proc=ok", "arg=-hdd-install\narg=7\nargv0=/sbin/init\n",
          "heard hello\n", "reboot=Operation not permitted"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(text.find("init_module=Success"), std::string::npos) << text;
    EXPECT_EQ(sandbox.exitCode(), 7) << sandbox.endDescription();
    EXPECT_EQ(sandbox.toolLog(), "probe tool log\n");
}

TEST(Sandbox, SerialConsoleIsOnlyReachableAsTtyS0) {
    SandboxOptions options = probeOptions();
    options.serialConsole = true;
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    ASSERT_TRUE(sandbox.wait(10));
    // The probe writes to its inherited descriptors, which are not the console here.
    EXPECT_EQ(sandbox.transcript(), "");
}

TEST(Sandbox, DisksAppearUnderTheirNamesAndAreDetachedAfterwards) {
    ScratchFiles scratch("sandbox-test");
    std::string image = scratch.image("sandbox-disk.img", 8 << 20);
    SandboxOptions options = probeOptions();
    options.disks = {{"sda", image}, {"hdb", image}};
    std::vector<int> loops;
    std::string root;
    {
        Sandbox sandbox(options);
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        loops = sandbox.loopNumbers();
        root = sandbox.rootDirectory();
        ASSERT_EQ(loops.size(), 2u);
        for (int n : loops)
            EXPECT_TRUE(loopDeviceBackedBy(n, image));
        ASSERT_TRUE(sandbox.waitFor("sda=yes hdb=yes")) << sandbox.transcript();
        // Left running: the teardown must cope with a run that has not ended.
    }
    for (int n : loops)
        EXPECT_FALSE(loopDeviceBackedBy(n, image)) << "loop" << n << " still attached";
    EXPECT_NE(access(root.c_str(), F_OK), 0) << root << " left behind";
    EXPECT_EQ(fileContents("/proc/self/mountinfo").find(root), std::string::npos);
}

TEST(Sandbox, RefusesToStartWhenADiskOrAStepInsideTheNewNamespacesFailsAndLeavesNothingBehind) {
    ScratchFiles scratch("sandbox-test");
    std::string image = scratch.image("sandbox-refuse.img", 1 << 20);
    SandboxOptions missingImage = probeOptions(), badName = probeOptions(),
                   badStep = probeOptions();
    missingImage.disks = {{"sda", image}, {"sdb", testing::TempDir() + "no-such-image"}};
    badName.disks = {{"sdz", image}};
    // Turns /dev/null into a directory, so the device node cannot be made inside: the program
    // must not run.
    badStep.copies = {{"/etc/hostname", "/dev/null/hostname"}};
    for (const auto& [options, cause] : {std::pair{missingImage, "no-such-image"},
                                         {badName, "sdz"},
                                         {badStep, "preparing /dev/null in the root"}}) {
        Sandbox sandbox(options);
        EXPECT_FALSE(sandbox.start());
        EXPECT_NE(sandbox.error().find(cause), std::string::npos) << sandbox.error();
        EXPECT_FALSE(sandbox.running()) << cause;
        EXPECT_TRUE(sandbox.transcript().empty()) << cause;
        EXPECT_NE(access(sandbox.rootDirectory().c_str(), F_OK), 0) << cause;
        for (int n : sandbox.loopNumbers())
            EXPECT_FALSE(loopDeviceBackedBy(n, image)) << cause;
    }
}

TEST(ExtFiles, ReadsAFileFromTheSecondPartitionOfAnImage) {
    ScratchFiles scratch("sandbox-test");
    std::string image = scratch.image("ext-files.img", 24 << 20);
    std::string table = scratch.text(
        "ext-files.sfdisk",
        "label: dos\nstart=2048, size=8192, type=83\nstart=10240, size=30000, type=83\n");
    std::string note = scratch.text("note.txt", "kept across the reformat\n");
    std::string offsetText = std::to_string(10240 * 512);
    std::string commands = "sfdisk -q '" + image + "' < '" + table +
                           "' && mke2fs -q -F -E offset=" + offsetText + " '" + image +
                           "' 15000k && debugfs -w -R 'write " + note + " note.txt' '" + image +
                           "?offset=" + offsetText + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(commands.c_str()), 0);

    uint64_t offset = 0, size = 0;
    EXPECT_FALSE(partitionExtent(image, 3, offset, size));
    ASSERT_TRUE(partitionExtent(image, 2, offset, size));
    EXPECT_EQ(offset, 10240u * 512);
    EXPECT_EQ(size, 30000u * 512);
    std::string contents, error;
    ASSERT_TRUE(readExtFile(image, offset, "/note.txt", contents, &error)) << error;
    EXPECT_EQ(contents, "kept across the reformat\n");
    EXPECT_FALSE(readExtFile(image, offset, "/missing.txt", contents, &error));
    EXPECT_NE(error.find("not found"), std::string::npos) << error;
}

TEST(Sandbox, HarnessThatDiesTakesTheRunAndItsLoopDevicesWithIt) {
    ScratchFiles scratch("sandbox-test");
    std::string image = scratch.image("sandbox-orphan.img", 4 << 20);
    std::string report = scratch.add("sandbox-orphan.facts");
    pid_t harness = fork();
    if (harness == 0) {
        SandboxOptions options = probeOptions();
        options.disks = {{"sdb", image}};
        Sandbox* sandbox = new Sandbox(options); // never destroyed: the harness just dies
        if (sandbox->start() && sandbox->waitFor("say something: "))
            std::ofstream(report) << sandbox->hostPid() << " " << sandbox->loopNumbers().at(0)
                                  << " " << sandbox->rootDirectory();
        _exit(0);
    }
    waitpid(harness, nullptr, 0);
    int facts[2] = {-1, -1}; // process 1 of the run as this machine sees it, and its loop device
    std::string root;
    std::ifstream(report) >> facts[0] >> facts[1] >> root;
    ASSERT_GT(facts[0], 0);

    auto gone = [&] {
        std::ifstream stat("/proc/" + std::to_string(facts[0]) + "/stat");
        std::string pid, name, state;
        return !(stat >> pid >> name >> state) || state == "Z";
    };
    for (int i = 0; i < 100 && (!gone() || loopDeviceBackedBy(facts[1], image)); ++i)
        usleep(50000);
    EXPECT_TRUE(gone()) << "process 1 of the run outlived its harness";
    EXPECT_FALSE(loopDeviceBackedBy(facts[1], image)) << "loop" << facts[1] << " still attached";
    // Only the empty mount point stays: the root itself lived in the run's own mount table.
    EXPECT_EQ(rmdir(root.c_str()), 0) << root;
}

TEST(Sandbox, RunsInAFreshNetworkNamespaceOrJoinsTheOneItIsGiven) {
    auto namespaceOf = [](const std::string& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return "net:[" + std::to_string(st.st_ino) + "]";
    };
    std::string own = namespaceOf("/proc/self/ns/net");
    {
        Sandbox sandbox(probeOptions());
        ASSERT_TRUE(sandbox.start()) << sandbox.error();
        ASSERT_TRUE(sandbox.waitFor("netns=net:["));
        EXPECT_FALSE(sandbox.transcript().find("netns=" + own) != std::string::npos)
            << "the run shares this machine's network";
    }
    // A namespace of the test's own stands in for the one a test sets up with a veth.
    NetNamespace given("sbx");
    ASSERT_TRUE(given.valid());
    SandboxOptions options = probeOptions();
    options.networkNamespace = given.path();
    Sandbox sandbox(options);
    ASSERT_TRUE(sandbox.start()) << sandbox.error();
    EXPECT_TRUE(sandbox.waitFor("netns=" + namespaceOf(given.path()) + "\n"))
        << sandbox.transcript();
}
