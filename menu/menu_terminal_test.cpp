// The menu as a person sees it: runMenu on a real pseudo-terminal, its output rendered by a
// terminal emulator, and the screen read back row by row with its reverse video and cursor.
#include "menu/package_menu.h"
#include "testbed/support/menu_packages.h"
#include "testbed/support/scratch_files.h"
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <sstream>

using namespace installer;

namespace {

struct Screen {
    std::vector<std::string> rows, attributes; // 25 of each, 80 characters
    int cursorRow = 0, cursorColumn = 0;
    bool cursorHidden = false;

    const std::string& row(int number) const { return rows.at(size_t(number - 1)); }
    const std::string& attribute(int number) const { return attributes.at(size_t(number - 1)); }
    // The row's text without trailing blanks.
    std::string text(int number) const {
        std::string line = row(number);
        return line.erase(line.find_last_not_of(' ') + 1);
    }
    // Row `number`, columns [from, from + length) (1-based) all in reverse video, and nothing
    // else of that row.
    bool reverseExactly(int number, int from, int length) const {
        const std::string& got = attribute(number);
        for (int x = 1; x <= int(got.size()); ++x)
            if ((got[size_t(x - 1)] == 'r') != (x >= from && x < from + length))
                return false;
        return got.size() == 80;
    }
};

Screen render(const std::string& bytes) {
    ScratchFiles scratch("menu-screen");
    std::string capture = scratch.text("capture", bytes);
    std::string command = std::string(MENU_PYTHON " ") + INSTALLER_SOURCE_DIR +
                          "/testbed/screen_render.py '" + capture + "'";
    Screen screen;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return screen;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        std::string line(buffer);
        if (line.rfind("row ", 0) == 0)
            screen.rows.push_back(line.substr(8, 80));
        else if (line.rfind("attr ", 0) == 0)
            screen.attributes.push_back(line.substr(8, 80));
        else if (line.rfind("cursor ", 0) == 0) {
            std::istringstream fields(line.substr(7));
            std::string shown;
            fields >> screen.cursorRow >> screen.cursorColumn >> shown;
            screen.cursorHidden = shown == "hidden";
        }
    }
    EXPECT_EQ(pclose(pipe), 0) << "terminal emulator (python3-pyte) failed";
    EXPECT_EQ(screen.rows.size(), 25u);
    return screen;
}

using Packages = std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>;
const Packages fourPackages = {
    {"routing", {"system"}, "Static and dynamic routing."},
    {"dhcp", {"system"}, "Address assignment for the local network."},
    {"ppp", {"system"}, "Point-to-point links over serial lines and DSL."},
    {"system", {}, "The base system: kernel, libraries and the tools every router needs."},
};

// runMenu in a child process whose console is a pseudo-terminal this test types on, as the
// flow would run it; the child reports the choice and the marks through a pipe.
class MenuOnTerminal : public testing::Test {
protected:
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        for (int fd : {master, slave, report})
            if (fd >= 0)
                close(fd);
    }
    // Loads the menu from a medium of these packages and starts it on the terminal.
    void start(const Packages& packages = fourPackages) {
        for (const auto& [name, depends, description] : packages)
            writeFile(folder / (name + ".rpx"), menutest::packageBytes(name, depends, description));
        menu.medium = folder.path;
        ASSERT_TRUE(loadMenuPackages(menu));
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        tcgetattr(slave, &before);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::fflush(nullptr);
        child = fork();
        if (child == 0) {
            close(ends[0]);
            dup2(slave, 1);
            dup2(slave, 0);
            bool install = runMenu(menu);
            std::string marks = install ? "install " : "cancel ";
            for (const auto& entry : menu.entries)
                marks += entry->selected ? 'X' : '.';
            marks += " " + std::to_string(menu.cursor);
            if (write(ends[1], marks.data(), marks.size()) < 0)
                _exit(1);
            _exit(0);
        }
        close(ends[1]);
        report = ends[0];
        read("):");
    }
    void read(const std::string& until, double seconds = 5) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
        size_t from = shown.size();
        while (std::chrono::steady_clock::now() < deadline) {
            if (!until.empty() && shown.find(until, from) != std::string::npos)
                return;
            pollfd fd{master, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                return;
            shown.append(buffer, size_t(n));
        }
    }
    void send(const std::string& keys) {
        EXPECT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    // Types keys and waits until the screen has taken them in.
    Screen type(const std::string& keys, const std::string& until = "") {
        send(keys);
        read(until, until.empty() ? 0.3 : 5);
        return render(shown);
    }
    // The child's report after the last key: "install"/"cancel", the marks, the cursor.
    std::string finish(const std::string& key) {
        send(key);
        std::string result;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(report, buffer, sizeof buffer)) > 0)
            result.append(buffer, size_t(n));
        int status = 0;
        waitpid(child, &status, 0);
        child = -1;
        read("", 0.3);
        EXPECT_EQ(status, 0);
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal is as the menu found it";
        return result;
    }

    ScratchFolder folder{"menu-terminal"};
    PackageMenu menu;
    int master = -1, slave = -1, report = -1;
    pid_t child = -1;
    termios before{};
    std::string shown;
};

} // namespace

TEST_F(MenuOnTerminal, OpeningScreenInItsPlacesThenKeysMoveTheReverseVideoSelectAndInstall) {
    start();
    Screen screen = render(shown);
    EXPECT_EQ(screen.row(1).substr(0, 64),
              std::string(16, ' ') + "Welcome to Kestrova Router Software installation");
    EXPECT_EQ(screen.attribute(1).substr(16, 48), std::string(48, 'b'));
    EXPECT_EQ(screen.text(2), "");
    EXPECT_EQ(screen.text(3),
              "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'.");
    EXPECT_EQ(screen.text(4), "Select all with 'a', minimum with 'm'. Press 'i' to install "
                              "locally or 'q' to");
    EXPECT_EQ(screen.text(5), "cancel and reboot.");
    EXPECT_EQ(screen.text(6), "");
    // Four entries: two rows, the second screen column at column 26.
    EXPECT_EQ(screen.text(7), "  [X] system               [ ] dhcp");
    EXPECT_EQ(screen.text(8), "  [ ] ppp                  [ ] routing");
    EXPECT_TRUE(screen.reverseExactly(7, 2, 12)) << screen.attribute(7);
    EXPECT_TRUE(screen.reverseExactly(8, 1, 0)) << screen.attribute(8);
    EXPECT_EQ(screen.text(21), "system (depends on nothing):");
    EXPECT_EQ(screen.text(22),
              "The base system: kernel, libraries and the tools every router needs.");
    for (int row : {9, 20, 23, 24, 25})
        EXPECT_EQ(screen.text(row), "") << row;
    EXPECT_TRUE(screen.cursorHidden);

    // Keys move the reverse video, select with dependencies and install.
    screen = type("n", "(depends on system):");
    EXPECT_EQ(screen.text(21), "ppp (depends on system):");
    EXPECT_EQ(screen.text(22), "Point-to-point links over serial lines and DSL.");
    EXPECT_TRUE(screen.reverseExactly(7, 1, 0));
    EXPECT_TRUE(screen.reverseExactly(8, 2, 9)) << screen.attribute(8);

    // Arrow right then left, and the edges: nothing beyond the last column or the first entry.
    screen = type("\x1b[C\x1b[C", "routing (depends");
    EXPECT_EQ(screen.text(21), "routing (depends on system):");
    EXPECT_TRUE(screen.reverseExactly(8, 27, 13)) << screen.attribute(8);
    screen = type("m \x1b[D\x1b[Dpp\x1b[A");
    EXPECT_EQ(screen.text(7), "  [X] system               [ ] dhcp");
    EXPECT_EQ(screen.text(8), "  [ ] ppp                  [X] routing");
    EXPECT_TRUE(screen.reverseExactly(7, 2, 12));
    EXPECT_EQ(screen.text(21), "system (depends on nothing):");
    EXPECT_EQ(screen.text(23), "") << "a shorter description leaves nothing behind";

    type("a");
    screen = type("\x1b[C"
                  " ");
    EXPECT_EQ(screen.text(7), "  [X] system               [ ] dhcp");
    EXPECT_EQ(screen.text(8), "  [X] ppp                  [X] routing");

    EXPECT_EQ(finish("I"), "install XX.X 2");
    screen = render(shown);
    EXPECT_EQ(screen.cursorRow, 25);
    EXPECT_EQ(screen.cursorColumn, 1);
    EXPECT_FALSE(screen.cursorHidden);
}

TEST_F(MenuOnTerminal, HostileNamesAndDescriptionsCannotRewriteTheScreen) {
    start({{"system",
            {},
            "\x1b[2J\x1b[H\x1b"
            "c\x1b]0;owned\x07\x1b[?25h gone"},
           // Names may not hold controls, but may hold bytes above ASCII: 0x9b is a CSI to
           // some terminals.
           {"x\x9b"
            "1;1Hy",
            {"system", "\x9b"
                       "31m"},
            "fine"}});
    Screen screen = type("n", "fine");
    EXPECT_EQ(screen.text(1).substr(16), "Welcome to Kestrova Router Software installation");
    EXPECT_EQ(screen.text(7), "  [X] system               [ ] x?1;1Hy");
    EXPECT_EQ(screen.text(21), "x?1;1Hy (depends on system, ?31m):");
    EXPECT_TRUE(screen.cursorHidden);
    screen = type("p", "gone");
    EXPECT_EQ(screen.text(22), "?[2J?[H?c?]0;owned??[?25h gone");
    EXPECT_TRUE(screen.cursorHidden);
}
