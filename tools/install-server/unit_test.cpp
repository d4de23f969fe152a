// The service unit shipped next to the server: systemd takes it as written (with this build's
// binary where the installed one would be), and the service's reach stays small.
#include "testbed/support/command_output.h"
#include "testbed/support/scratch_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

TEST(ServiceUnit, systemdAcceptsItAndItsExposureStaysLow) {
    if (runCommand("command -v systemd-analyze").status != 0)
        GTEST_SKIP() << "no systemd-analyze";
    std::ifstream in(INSTALLER_SOURCE_DIR "/tools/install-server/install-server.service");
    std::stringstream unit;
    unit << in.rdbuf();
    std::string text =
        std::regex_replace(unit.str(), std::regex("/usr/local/bin/install-server"),
                           INSTALLER_BINARY_DIR "/tools/install-server/install-server");
    ASSERT_NE(text, unit.str());
    ScratchFolder folder("srv-unit");
    std::string path = folder / "install-server.service";
    std::ofstream(path) << text;

    CommandRun verify = runCommand("systemd-analyze verify --man=no " + path + " 2>&1");
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output.find("install-server.service"), std::string::npos) << verify.output;

    auto [status, said] = runCommand("systemd-analyze security --offline=yes " + path + " 2>&1");
    std::smatch level;
    if (std::regex_search(said, level, std::regex("exposure level for [^:]*: ([0-9.]+)")))
        EXPECT_LT(std::stod(level[1]), 2.0) << said;
    else
        EXPECT_NE(status, 0) << "no exposure level in\n" << said; // too old to judge offline
    for (const char* setting : {"DynamicUser=yes", "NoNewPrivileges=yes", "ProtectSystem=strict",
                                "CapabilityBoundingSet=\n", "ReadOnlyPaths="})
        EXPECT_NE(text.find(setting), std::string::npos) << setting;
}
