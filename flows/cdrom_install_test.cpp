// The search for the disc on the recording system: every candidate drive once a pass, twenty
// passes a second apart, then the fatal error. The installer waits the real seconds in
// flow_sandbox_test.cpp.
#include "flows/cdrom_install.h"
#include "testbed/recording_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace installer;

namespace {

std::vector<std::string> tried;

bool noDisc(const char* device) {
    tried.emplace_back(device);
    return false;
}

} // namespace

TEST(DiscSearch, EveryDriveIsTriedInEachOfTwentyPassesASecondApartThenNoCdromIsFound) {
    RecordingSystem system;
    tried.clear();
    DiskRecord target = {};
    testing::internal::CaptureStdout();
    bool installed = cdromInstallWith(target, noDisc);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(installed);
    EXPECT_EQ(text, "\nFATAL ERROR: no CD-ROM found\n");
    std::string steps = "mkdir /floppy\n";
    for (int pause = 0; pause < 19; ++pause)
        steps += "pause 1\n";
    EXPECT_EQ(system.stepText(), steps);
    EXPECT_EQ(system.seconds, 19u);
    const std::vector<std::string> pass = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                           "/dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr3"};
    ASSERT_EQ(tried.size(), 20 * pass.size());
    for (size_t i = 0; i < tried.size(); ++i)
        EXPECT_EQ(tried[i], pass[i % pass.size()]) << "attempt " << i;
}
