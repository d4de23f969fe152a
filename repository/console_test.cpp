#include "repository/repository.h"

#include "testbed/support/repository_console.h"

#include <gtest/gtest.h>

using namespace installer;

namespace {
const std::string hide = "\033[?25l", show = "\033[?25h";
}

TEST(Console, StatusLineIsReplacedWithoutTraceAndWarningsKeepTheBar) {
    Repository repository;
    testconsole::CapturedConsole console(repository);
    repository.setStatus("installing system-2.9.27");
    repository.setStatus("installing system-2.9.27"); // already shown: nothing written
    repository.setStatus("done");
    EXPECT_EQ(console.text(), hide + "\rinstalling system-2.9.27\r" + show + hide + "\rdone" +
                                  std::string(20, ' ') + "\r" + show);
    size_t seen = console.text().size();
    repository.warning("ghost file %s", "/etc/x");
    EXPECT_EQ(console.text().substr(seen),
              "\r" + std::string(79, ' ') + "\rWARNING: ghost file /etc/x\ndone");
    seen = console.text().size();
    repository.info("installed %s%s", "", "tool-1.0");
    EXPECT_EQ(console.text().substr(seen), hide + "\r    \r" + show + "installed tool-1.0\n")
        << "info blanks the bar and does not bring it back";
    seen = console.text().size();
    repository.error("%s", std::string(300, 'x').c_str());
    EXPECT_EQ(console.text().substr(seen), "ERROR: " + std::string(255, 'x') + "\n");
}

TEST(Console, QuietRepositoryWritesNothingAtAll) {
    Repository repository;
    testconsole::CapturedConsole console(repository);
    repository.quiet = true;
    repository.setStatus("bar");
    repository.info("a");
    repository.warning("b");
    repository.error("c");
    testpkg::MemoryReader in(testpkg::Draft().unsignedFile());
    repository.showProgress(in.reader, "installing x");
    if (access("/flash/var/pdb", F_OK) != 0)
        repository.loadDatabase(true); // "could not open repo", silenced
    EXPECT_EQ(console.text(), "");
}

TEST(Console, ProgressBarFollowsTheReaderAndStaysWithin77Characters) {
    EXPECT_EQ(progressLine("installing a-1.0", 0, 100),
              "installing a-1.0 [" + std::string(58, ' ') + "]");
    EXPECT_EQ(progressLine("installing a-1.0", 50, 100),
              "installing a-1.0 [" + std::string(29, '#') + std::string(29, ' ') + "]");
    EXPECT_EQ(progressLine(std::string(74, 'l'), 1, 2).size(), 77u);
    // Past the total, too long a label, or a 4 GiB stream: clamped, never overrun or wrapped.
    EXPECT_EQ(progressLine("x", 500, 100), "x [" + std::string(73, '#') + "]");
    EXPECT_EQ(progressLine(std::string(80, 'l'), 5, 10), std::string(80, 'l') + " []");
    EXPECT_EQ(progressLine("x", 0xffffffffull, 0xffffffffull), "x [" + std::string(73, '#') + "]");

    testpkg::Draft draft;
    draft.payload = std::string(1000, 'p');
    std::string file = draft.unsignedFile();
    testpkg::MemoryReader in(file);
    char half[500];
    in.reader.next();
    in.reader.read(half, 500);
    Repository repository;
    testconsole::CapturedConsole console(repository);
    repository.showProgress(in.reader, "installing demo-1.0");
    EXPECT_EQ(repository.status,
              progressLine("installing demo-1.0", in.reader.position() + 500, file.size()));
}
