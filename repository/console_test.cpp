#include "repository/repository.h"

#include "package/record_test_packages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace installer;

namespace {

const std::string hide = "\033[?25l";
const std::string show = "\033[?25h";
const std::string blankLine = "\r" + std::string(79, ' ') + "\r";

// A repository whose console is captured in memory.
class Console : public testing::Test {
protected:
    void SetUp() override {
        stream = open_memstream(&buffer, &size);
        repository.setConsole(stream);
    }
    void TearDown() override {
        std::fclose(stream);
        std::free(buffer);
    }
    // What was written since the last call.
    std::string take() {
        std::fflush(stream);
        std::string text(buffer + seen, size - seen);
        seen = size;
        return text;
    }

    Repository repository;
    std::FILE* stream = nullptr;
    char* buffer = nullptr;
    size_t size = 0;
    size_t seen = 0;
};

} // namespace

TEST_F(Console, StatusLineReplacedByShorterTextLeavesNoTrace) {
    repository.setStatus("installing system-2.9.27");
    EXPECT_EQ(take(), hide + "\rinstalling system-2.9.27\r" + show);
    repository.setStatus("done");
    EXPECT_EQ(take(), hide + "\rdone" + std::string(20, ' ') + "\r" + show);
    repository.setStatus("done");
    EXPECT_EQ(take(), "") << "the text already shown is not written again";
    repository.setStatus("");
    EXPECT_EQ(take(), hide + "\r    \r" + show);
    EXPECT_EQ(repository.status, "");
}

TEST_F(Console, WarningAppearsAboveTheProgressBarWhichStaysVisible) {
    repository.setStatus("label [###   ]");
    take();
    repository.warning("ghost file %s", "/etc/x");
    EXPECT_EQ(take(), blankLine + "WARNING: ghost file /etc/x\nlabel [###   ]");
    EXPECT_EQ(repository.status, "label [###   ]");
}

TEST_F(Console, InfoAndErrorBlankTheBarAndDoNotBringItBack) {
    repository.setStatus("bar");
    take();
    repository.info("installed %s%s", "", "tool-1.0");
    EXPECT_EQ(take(), hide + "\r   \r" + show + "installed tool-1.0\n");
    repository.setStatus("bar");
    take();
    repository.error("can not install %s", "x-1.0");
    EXPECT_EQ(take(), hide + "\r   \r" + show + "ERROR: can not install x-1.0\n");
    EXPECT_EQ(repository.status, "");
}

TEST_F(Console, QuietRepositoryWritesNothingAtAll) {
    repository.quiet = true;
    repository.setStatus("bar");
    repository.info("a");
    repository.warning("b");
    repository.error("c");
    repository.reportError("installation of x failed: broken package");
    testpkg::MemoryReader in(testpkg::Spec().unsignedFile());
    repository.showProgress(in.reader, "installing x");
    EXPECT_EQ(take(), "");
}

TEST_F(Console, QuietLoadOfAMissingDatabaseSaysNothing) {
    // Outside a target system there is no /flash/var/pdb/ to open.
    if (access("/flash/var/pdb/", F_OK) == 0)
        GTEST_SKIP() << "this machine has a package database";
    repository.loadDatabase(true);
    EXPECT_EQ(take(), "");
    repository.loadDatabase(false);
    EXPECT_EQ(take(), "WARNING: could not open repo\n");
    EXPECT_TRUE(repository.packages.empty());
}

TEST_F(Console, MessagesAreCutAt255Characters) {
    std::string longText(300, 'x');
    repository.info("%s", longText.c_str());
    EXPECT_EQ(take(), std::string(255, 'x') + "\n");
    repository.warning("%s", longText.c_str());
    EXPECT_EQ(take(), "WARNING: " + std::string(255, 'x') + "\n");
}

TEST(ProgressLine, BarFillsWithTheStreamAndIsAlways77Characters) {
    EXPECT_EQ(progressLine("installing a-1.0", 0, 100),
              "installing a-1.0 [" + std::string(58, ' ') + "]");
    EXPECT_EQ(progressLine("installing a-1.0", 100, 100),
              "installing a-1.0 [" + std::string(58, '#') + "]");
    EXPECT_EQ(progressLine("installing a-1.0", 50, 100),
              "installing a-1.0 [" + std::string(29, '#') + std::string(29, ' ') + "]");
    EXPECT_EQ(progressLine(std::string(74, 'l'), 1, 2).size(), 77u);
    // Past the declared total, or with a label too long for a bar: clamped, never overrun.
    EXPECT_EQ(progressLine("x", 500, 100), "x [" + std::string(73, '#') + "]");
    EXPECT_EQ(progressLine(std::string(80, 'l'), 5, 10), std::string(80, 'l') + " []");
    // 64-bit product: a 4 GiB stream does not wrap.
    EXPECT_EQ(progressLine("x", 0xffffffffull, 0xffffffffull), "x [" + std::string(73, '#') + "]");
}

TEST_F(Console, ProgressFollowsTheReadersPosition) {
    testpkg::Spec spec;
    spec.payload = std::string(1000, 'p');
    std::string file = spec.unsignedFile();
    testpkg::MemoryReader in(file);
    while (in.reader.kind() != partPayload)
        in.reader.next();
    char half[500];
    in.reader.read(half, 500);
    repository.showProgress(in.reader, "installing demo-1.0");
    uint64_t done = in.reader.position() + 500;
    EXPECT_EQ(repository.status, progressLine("installing demo-1.0", done, file.size()));
}
