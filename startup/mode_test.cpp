// Choosing the installation: command line and /TYPE.
#include "startup/mode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace installer;

namespace {

std::string modeTextOf(const std::string& contents) {
    FILE* stream = fmemopen(const_cast<char*>(contents.data()), contents.size(), "r");
    char text[80];
    std::memset(text, 'x', sizeof text);
    readModeText(contents.empty() ? nullptr : stream, text);
    if (stream)
        std::fclose(stream);
    return text;
}

InstallMode modeFor(std::vector<std::string> args, const std::string& typeFile) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return chooseInstallMode(hasHardDiskArgument(static_cast<int>(args.size()), argv.data()),
                             modeTextOf(typeFile).c_str());
}

} // namespace

TEST(InstallMode, HardDiskArgumentWinsOverAnyTypeFileWhoseFirstLineChoosesCdromOrNetwork) {
    EXPECT_EQ(modeFor({"/sbin/init", "-hdd-install"}, "cdrom\n"), InstallMode::hardDisk);
    EXPECT_EQ(modeFor({"init", "-x", "-hdd-install"}, "net\n"), InstallMode::hardDisk);
    EXPECT_EQ(modeFor({"init", "-hdd-install"}, ""), InstallMode::hardDisk);
    EXPECT_EQ(modeFor({"/sbin/init"}, "cdrom\n"), InstallMode::cdrom);
    EXPECT_EQ(modeFor({"/sbin/init"}, "cdrom"), InstallMode::cdrom);
    EXPECT_EQ(modeFor({"/sbin/init"}, "net\nsecond line ignored\n"), InstallMode::network);
}

TEST(InstallMode, AnythingElseIsUnknown) {
    for (const char* type : {"cdrom \n", "CDROM\n", "\ncdrom\n", ""})
        EXPECT_EQ(modeFor({"/sbin/init"}, type), InstallMode::unknown) << type;
    EXPECT_EQ(modeFor({"/sbin/init", "-hdd-install-now"}, "floppy\n"), InstallMode::unknown);
    // The program's own name is no argument.
    EXPECT_EQ(modeFor({"-hdd-install"}, "x\n"), InstallMode::unknown);
}

TEST(InstallMode, ModeTextStopsAt79CharactersAndTheNewline) {
    EXPECT_EQ(modeTextOf("net\n"), "net");
    EXPECT_EQ(modeTextOf(""), "");
    std::string longLine(100, 'a');
    EXPECT_EQ(modeTextOf(longLine + "\n"), std::string(79, 'a'));
    EXPECT_EQ(modeTextOf(std::string(79, 'b') + "\n"), std::string(79, 'b'));
    // 79 letters then "net": the rest of a long line is not read as a second word.
    EXPECT_EQ(modeTextOf(std::string(79, 'c') + "net\n"), std::string(79, 'c'));
}
