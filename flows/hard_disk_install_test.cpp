// The search for the hard-disk medium on the recording system: every candidate disk once a pass,
// twenty passes a second apart. The real seconds and start-up's wait for ENTER after a search that
// found nothing are seen in startup_sandbox_test.cpp, on the CD-ROM flow's disk search.
#include "flows/hard_disk_install.h"
#include "testbed/recording_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace installer;

namespace {

std::vector<std::string> tried;

bool noMedium(const char* device) {
    tried.emplace_back(device);
    return false;
}

const std::vector<std::string> onePass = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                          "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd",
                                          "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh"};

} // namespace

TEST(MediumSearch, EveryDiskIsTriedInEachOfTwentyPassesASecondApartThenNothingIsFound) {
    RecordingSystem system;
    tried.clear();
    testing::internal::CaptureStdout();
    const char* device = findMedium(noMedium);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(device, nullptr);
    // A dot for each second waited.
    EXPECT_EQ(text, "Looking for harddrives..." + std::string(19, '.') + "\n");
    std::string steps = "mkdir /floppy\n";
    for (int pause = 0; pause < 19; ++pause)
        steps += "pause 1\n";
    EXPECT_EQ(system.stepText(), steps);
    EXPECT_EQ(system.seconds, 19u);
    ASSERT_EQ(tried.size(), 20 * onePass.size());
    for (size_t i = 0; i < tried.size(); ++i)
        EXPECT_EQ(tried[i], onePass[i % onePass.size()]) << "attempt " << i;
}
