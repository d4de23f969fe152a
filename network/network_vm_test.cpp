// The network boot set on the media's kernel in a virtual machine: its network card on a tap
// device in a network namespace of the test's own, where the test peer serves the driver
// package of the set, the sample packages and a configuration script; the installed disk boots
// through our boot code, and a second installation offered with "keep" keeps its configuration.
#include "disk/boot_record.h"
#include "network/protocol_text.h"
#include "testbed/ext_files.h"
#include "testbed/net_namespace.h"
#include "testbed/net_peer.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"
#include "testbed/vm_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace installer;

namespace {

const std::string mediaDir = NET_MEDIA_DIR;

// One installation onto `disk`: the VM started from the network set, the test peer offering
// `offer`; the console.
std::string installOverTheNetwork(const std::string& disk, const std::string& offer,
                                  const std::string& setup) {
    NetNamespace lan("vm");
    EXPECT_TRUE(lan.valid());
    std::string tap = vethName("t");
    EXPECT_TRUE(lan.ip("tuntap add dev " + tap + " mode tap") && lan.ip("link set " + tap + " up"));

    ScratchFiles files("net-vm");
    std::string image = files.add("initrd.gz");
    std::filesystem::copy_file(mediaDir + "/tftp/initrd.gz", image,
                               std::filesystem::copy_options::overwrite_existing);
    {
        // The tool log on the second serial line, as in every VM test.
        InitramfsWriter overlay(image, true);
        overlay.characterDevice("/dev/tty9", 4, 65);
        EXPECT_TRUE(overlay.close());
    }

    PeerScript script;
    script.driver = {"drivers.rpx", fileContents(mediaDir + "/drivers.rpx"), {}, {}, {}};
    script.offer = offer;
    script.files = {
        {"system.rpx", fileContents(INSTALLER_BINARY_DIR "/samples/system.rpx"), {}, {}, {}},
        {"routing.rpx", fileContents(INSTALLER_BINARY_DIR "/samples/routing.rpx"), {}, {}, {}},
        {"setup.scr", setup, {}, {}, {}}};
    std::unique_ptr<TestPeer> peer;
    {
        EnterNamespace inside(lan);
        EXPECT_TRUE(inside.entered());
        peer = std::make_unique<TestPeer>(tap, script);
        if (!peer->valid()) {
            ADD_FAILURE() << "no test peer on " << tap;
            return "";
        }
        peer->start();
    }

    VmOptions options = vmDirectStart(image);
    options.disks = {VmDisk(disk)};
    options.networkNamespace = lan.name();
    options.tap = tap;
    options.timeLimit = 600;
    VirtualMachine machine(options);
    if (!machine.start()) {
        ADD_FAILURE() << machine.error();
        return "";
    }
    EXPECT_TRUE(machine.waitFor("Retrieving drivers...", 240)) << machine.transcript();
    EXPECT_TRUE(machine.waitFor("Found harddrive", 120)) << machine.transcript();
    EXPECT_TRUE(machine.waitFor("Software installed.\nPress ENTER to reboot\n", 300))
        << machine.transcript();
    // TERM ends the farewell and the machine restarts by itself.
    EXPECT_TRUE(machine.wait(120)) << machine.transcript();
    peer->stop();
    EXPECT_GE(peer->count("WTRM"), 1u);
    std::string console = machine.transcript();
    if (getenv("NET_SHOW"))
        std::printf("%s\n", console.c_str());
    EXPECT_FALSE(contains(console, "FATAL ERROR")) << console;
    return console;
}

} // namespace

TEST(NetworkInstallInVm, DriversFromTheServerFindTheDiskEverythingIsInstalledAndKeptTheNextTime) {
    if (std::string why = vmMissing(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_TRUE(leaveHostNetwork());
    ScratchFiles files("net-vm-disk");
    std::string disk = files.image("sda.img", 64 << 20);
    std::string setup = "set hostname vm\n";
    std::string console = installOverTheNetwork(disk, "OFFR\ntest peer\n", setup);
    EXPECT_TRUE(contains(console, "disk label: Kestrova\n")) << console;
    EXPECT_FALSE(contains(console, "Reading old configuration...")) << console;

    // The boot record starts with the installer's boot code.
    std::string sector = fileContents(disk).substr(0, 512);
    EXPECT_EQ(sector.substr(0, sizeof bootCode),
              std::string(reinterpret_cast<const char*>(bootCode), sizeof bootCode));

    uint64_t offset = 0, size = 0;
    ASSERT_TRUE(partitionExtent(disk, 1, offset, size));
    std::string contents, error;
    EXPECT_TRUE(readExtFile(disk, offset, "/setup.scr", contents, &error)) << error;
    EXPECT_EQ(contents, setup);
    EXPECT_TRUE(readExtFile(disk, offset, "/var/pdb/system/version", contents, &error)) << error;
    EXPECT_TRUE(readExtFile(disk, offset, "/var/pdb/routing/version", contents, &error)) << error;
    EXPECT_TRUE(readExtFile(disk, offset, "/CDINSTALL", contents, &error)) << error;

    std::string boot;
    EXPECT_TRUE(bootsThroughOurBootCode(VmDisk(disk), boot)) << boot;

    // The installed system's configuration store, then an installation whose offer says "keep":
    // the store survives the new file systems.
    std::string site = files.text("site.conf", "route 10.0.0.0/8 via 192.168.1.1\n");
    std::string requests = files.text("requests", "mkdir /rw\nmkdir /rw/store\nwrite " + site +
                                                      " /rw/store/site.conf\n");
    std::string command = "debugfs -w -f " + requests + " '" + disk +
                          "?offset=" + std::to_string(offset) + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_TRUE(readExtFile(disk, offset, "/rw/store/site.conf", contents, &error)) << error;

    console = installOverTheNetwork(disk, "OFFR\ntest peer\nkeep\n", "set hostname again\n");
    EXPECT_TRUE(contains(console, "Reading old configuration...")) << console;
    EXPECT_TRUE(contains(console, "Writing back old configuration...")) << console;
    ASSERT_TRUE(partitionExtent(disk, 1, offset, size));
    EXPECT_TRUE(readExtFile(disk, offset, "/rw/store/site.conf", contents, &error)) << error;
    EXPECT_EQ(contents, "route 10.0.0.0/8 via 192.168.1.1\n");
    EXPECT_TRUE(readExtFile(disk, offset, "/setup.scr", contents, &error)) << error;
    EXPECT_EQ(contents, "set hostname again\n");
}
