// The command line's refusals: each comes before the kernel is fetched and names what is wrong.
#include "testbed/support/command_output.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

namespace {

CommandRun bootmedia(std::string arguments) {
    // A cache that cannot exist, after the command: one that got as far as fetching fails on it.
    if (!arguments.empty())
        arguments.insert(std::min(arguments.find(' '), arguments.size()),
                         " --kernel-cache /proc/no-such-cache");
    return runCommand(std::string(BOOTMEDIA) + " " + arguments + " 2>&1");
}

} // namespace

TEST(BootmediaCommandLine, BadInvocationsSayWhatIsWrong) {
    const std::string image = "--installer /bin/true --sfdisk /bin/true --output /tmp/x ";
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    for (const Case& c : {
             Case{"frobnicate", 2,
                  "bootmedia: unknown command \"frobnicate\" (see bootmedia --help)\n"},
             Case{"image --output x --typo", 2,
                  "bootmedia: image: The following argument was not expected: --typo (see "
                  "bootmedia image --help)\n"},
             Case{"image --installer", 2, "bootmedia: image: --installer: 1 required TEXT missing"},
             Case{"image --output a --output b", 2, "--output: At Most 1 required but received 2"},
             Case{"image --sfdisk s --output o", 1, "--installer is required"},
             Case{"image " + image + "--modules some", 1, "--modules takes all, nic or none"},
             Case{"image " + image + "--add /etc/hosts", 1, "--add needs SRC:DEST"},
             Case{"image " + image + "--add :/x", 1, "--add needs SRC:DEST"},
             Case{"image " + image + "stray", 1, "unexpected argument stray"},
             Case{"cd " + image, 1, "no package files given"},
             Case{"disk " + image + "--boot-code b a.rpx --size 12X", 1, "--size takes a number"},
             Case{"disk " + image + "a.rpx", 1, "give either --boot-code or --mbr"},
             Case{"disk " + image + "--boot-code b --mbr m a.rpx", 1,
                  "give either --boot-code or --mbr"},
             Case{"net " + image, 1, "--key is required"},
             Case{"kernel", 1, "/proc/no-such-cache"},
         }) {
        CommandRun result = bootmedia(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments << "\n" << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.arguments << "\n"
                                                                    << result.output;
    }
}

TEST(BootmediaCommandLine, HelpForEveryCommand) {
    for (const char* command : {"kernel", "slots", "image", "list", "cd", "disk", "net"}) {
        CommandRun result = bootmedia(std::string(command) + " --help");
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_NE(result.output.find(std::string("usage: bootmedia ") + command), std::string::npos)
            << result.output;
    }
    CommandRun none = bootmedia("");
    EXPECT_NE(none.output.find("usage: bootmedia COMMAND"), std::string::npos);
}
