// Module loading, run in a child process chrooted into a scratch tree that stands in for the
// boot image's /lib/modules. Which files the loader opens, and in what order, is watched with
// inotify; this test binary has given up CAP_SYS_MODULE, so the kernel refuses every module
// and only the installer's own behaviour is visible.
#include "disk/modules.h"
#include "testbed/chroot_runner.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

using namespace installer;

namespace fs = std::filesystem;

namespace {

class ModuleTree : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for chroot";
        utsname system;
        uname(&system);
        moduleDir = root / "lib/modules" / system.release;
    }

    void addModule(const std::string& path, const std::string& content = "not an ELF module") {
        fs::create_directories((moduleDir / path).parent_path());
        std::ofstream(moduleDir / path) << content;
    }

    // Runs body chrooted into the tree; returns what it printed, then one "opened <path>" line
    // per module file opened, in order.
    std::string runChrooted(const std::function<void()>& body) {
        fs::create_directories(root / "tmp");
        int watcher = inotify_init1(IN_NONBLOCK); // the watches go along into the child
        std::map<int, std::string> watched;
        for (const auto& entry : fs::recursive_directory_iterator(moduleDir))
            if (entry.is_directory())
                watched[inotify_add_watch(watcher, entry.path().c_str(), IN_OPEN)] =
                    fs::relative(entry.path(), moduleDir).string();
        std::string output = runInRoot(root, [&] {
            dup2(open("/tmp/printed", O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            body();
            alignas(inotify_event) char events[65536];
            ssize_t length = read(watcher, events, sizeof events); // room for every event here
            for (char* at = events; length > 0 && at < events + length;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                if (event->len > 0 && !(event->mask & IN_ISDIR))
                    std::printf("opened %s/%s\n", watched[event->wd].c_str(), event->name);
                at += sizeof(inotify_event) + event->len;
            }
            std::fflush(stdout);
            return fileContents("/tmp/printed");
        });
        close(watcher);
        return output;
    }

    ScratchFolder scratch{"disk-modules"};
    fs::path root = scratch.path, moduleDir;
};

TEST_F(ModuleTree, StorageListOpensPresentModulesInListOrderAndPassesOverMissingOnesSilently) {
    std::string expected;
    for (int i = 0; storageModules[i]; i += 3) {
        addModule(storageModules[i]);
        expected += std::string("opened ") + storageModules[i] + "\n";
    }
    EXPECT_EQ(runChrooted([] { loadModuleList(storageModules); }), expected);
}

TEST_F(ModuleTree, EmptyModuleFileIsReportedAndTheRestOfTheListStillLoads) {
    for (int i = 0; usbModules[i]; ++i)
        addModule(usbModules[i], i == 1 ? "" : "module");
    std::string expected = "ERROR: could not load module kernel/drivers/usb/core/usbcore.ko\n";
    for (int i = 0; usbModules[i]; ++i)
        expected += std::string("opened ") + usbModules[i] + "\n";
    EXPECT_EQ(runChrooted([] { loadModuleList(usbModules); }), expected);
}

TEST_F(ModuleTree, StartupNetworkModuleIsFoundWithoutTheKernelPrefix) {
    addModule("drivers/net/atl1c.ko");
    std::string output = runChrooted([] {
        std::printf("present %d\n", loadModule("drivers/net/atl1c.ko"));
        std::printf("missing %d\n", loadModule("kernel/drivers/net/e1000.ko"));
    });
    // The kernel refuses a file that is no module; the installer only passes that on.
    EXPECT_EQ(output, "present -1\nmissing -1\nopened drivers/net/atl1c.ko\n");
}

} // namespace
