// The searches for the installation medium on the recording system: every candidate drive once
// a pass, twenty passes a second apart, then the fatal error. The real seconds, and start-up's
// wait for ENTER after a search that found nothing, are seen in startup_sandbox_test.cpp on the
// CD-ROM flow's disk search; a disc found in a later pass in flow_sandbox_test.cpp.
#include "flows/cdrom_install.h"
#include "flows/hard_disk_install.h"
#include "testbed/recording_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace installer;

namespace {

std::vector<std::string> tried;

bool nothingMounts(const char* device) {
    tried.emplace_back(device);
    return false;
}

// Nineteen pauses of a second after the mount point is made; each pass tries `pass` in order.
void expectTwentyPasses(const RecordingSystem& system, const std::vector<std::string>& pass) {
    std::string steps = "mkdir /floppy\n";
    for (int pause = 0; pause < 19; ++pause)
        steps += "pause 1\n";
    EXPECT_EQ(system.stepText(), steps);
    EXPECT_EQ(system.seconds, 19u);
    ASSERT_EQ(tried.size(), 20 * pass.size());
    for (size_t i = 0; i < tried.size(); ++i)
        EXPECT_EQ(tried[i], pass[i % pass.size()]) << "attempt " << i;
}

} // namespace

TEST(DiscSearch, EveryDriveIsTriedInEachOfTwentyPassesASecondApartThenNoCdromIsFound) {
    RecordingSystem system;
    tried.clear();
    DiskRecord target = {};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(cdromInstallWith(target, nothingMounts));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nFATAL ERROR: no CD-ROM found\n");
    expectTwentyPasses(system, {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd", "/dev/sr0",
                                "/dev/sr1", "/dev/sr2", "/dev/sr3"});
}

TEST(MediumSearch, EveryDiskIsTriedInEachOfTwentyPassesASecondApartThenNothingIsFound) {
    RecordingSystem system;
    tried.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(findMedium(nothingMounts), nullptr);
    // A dot for each second waited.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Looking for harddrives..." + std::string(19, '.') + "\n");
    expectTwentyPasses(system,
                       {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd", "/dev/sda", "/dev/sdb",
                        "/dev/sdc", "/dev/sdd", "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh"});
}
