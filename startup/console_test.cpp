// The console helpers against a real pseudo-terminal: what the user sees and what keys do.
#include "startup/console.h"
#include "testbed/pty_console.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

using namespace installer;

namespace {

// Runs a question in the background while the test plays the user.
template <typename Body> struct Background {
    std::thread thread;
    explicit Background(Body body) : thread(body) {}
    ~Background() {
        if (thread.joinable())
            thread.join();
    }
};

} // namespace

TEST(AskYesNo, AcceptsYAndNInEitherCaseAndRingsTheBellForEverythingElse) {
    struct Case {
        std::string keys;
        bool answer;
        std::string shown;
    };
    const Case cases[] = {
        {"y", true, "Keep it? [y/n]:y\n"},
        {"Y", true, "Keep it? [y/n]:y\n"},
        {"n", false, "Keep it? [y/n]:n\n"},
        {"N", false, "Keep it? [y/n]:n\n"},
        // ENTER alone, a digit and another letter are refused with a bell each.
        {"\r7qy", true, "Keep it? [y/n]:\a\a\ay\n"},
    };
    // Checks come after the console is given back: while it stands, this process's standard
    // output is the pseudo-terminal.
    for (const Case& c : cases) {
        bool answer = !c.answer;
        std::string shown;
        {
            PtyConsole console;
            ConsoleState state;
            enterRawMode(state); // as the flows ask: keys arrive one by one, unechoed
            {
                Background question([&] { answer = askYesNo("Keep it?"); });
                shown = console.output(0.3, "[y/n]:");
                console.type(c.keys);
            }
            leaveRawMode(state);
            shown += console.output();
        }
        EXPECT_EQ(answer, c.answer) << "keys " << c.keys;
        EXPECT_EQ(shown, c.shown + "\x1b[?25h") << "keys " << c.keys;
    }
}

TEST(AskYesNo, ConsoleThatGoesAwayCountsAsNoInsteadOfSpinning) {
    bool answer = true;
    std::string shown;
    {
        PtyConsole console;
        console.hangUp();
        Background question([&] { answer = askYesNo("Erase the disk?"); });
        question.thread.join();
        shown = console.output();
    }
    EXPECT_FALSE(answer);
    EXPECT_EQ(shown, "Erase the disk? [y/n]:\n");
}

TEST(WaitForEnter, RingsForOtherKeysAndReturnsOnEnter) {
    bool returnedEarly = true, returned = false;
    std::string bells;
    {
        PtyConsole console;
        ConsoleState state;
        enterRawMode(state);
        {
            Background wait([&] {
                waitForEnter();
                returned = true;
            });
            console.type("ab");
            bells = console.output(0.5, "\a\a");
            returnedEarly = returned;
            console.type("\r");
        }
        leaveRawMode(state);
    }
    EXPECT_EQ(bells, "\a\a");
    EXPECT_FALSE(returnedEarly);
    EXPECT_TRUE(returned);
}

TEST(WaitForEnter, ReturnsAtEndOfInput) {
    std::string shown = "unset";
    {
        PtyConsole console;
        console.hangUp();
        waitForEnter(); // must come back, not wait for good
        shown = console.output();
    }
    EXPECT_EQ(shown, "");
}

TEST(RawMode, TurnsOffLineEditingAndEchoAndRestoresTheTerminal) {
    termios before{}, raw{}, after{};
    ConsoleState state;
    int activeInside = 0;
    std::string shown;
    {
        PtyConsole console;
        tcgetattr(0, &before);
        enterRawMode(state);
        tcgetattr(0, &raw);
        activeInside = state.rawActive;
        // Entering twice must not save the raw attributes over the real ones.
        enterRawMode(state);
        leaveRawMode(state);
        tcgetattr(0, &after);
        shown = console.output();
    }
    EXPECT_EQ(activeInside, 1);
    EXPECT_FALSE(raw.c_lflag & (ICANON | ECHO));
    EXPECT_TRUE(raw.c_lflag & ISIG) << "Ctrl-C must still interrupt";
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(state.rawActive, 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(shown, "\x1b[?25h");
}

TEST(RawMode, LeavingWithoutEnteringOnlyShowsTheCursor) {
    termios after{};
    std::string shown;
    {
        PtyConsole console;
        termios attributes{};
        tcgetattr(0, &attributes);
        attributes.c_lflag &= ~ECHO; // what leaveRawMode would undo if it touched the terminal
        tcsetattr(0, TCSANOW, &attributes);
        ConsoleState state;
        leaveRawMode(state);
        tcgetattr(0, &after);
        shown = console.output();
    }
    EXPECT_FALSE(after.c_lflag & ECHO);
    EXPECT_EQ(shown, "\x1b[?25h");
}

TEST(Banner, ClearsTheScreenWelcomesAndShowsFarloadOnTheFrontPanel) {
    ConsoleState state;
    std::string shown;
    int panel[2];
    ASSERT_EQ(pipe(panel), 0);
    {
        PtyConsole console;
        consoleState = &state;
        lcdFd = panel[1];
        showBanner("remote installation");
        lcdFd = -1;
        consoleState = nullptr;
        shown = console.output();
    }
    close(panel[1]);
    char word[32] = {};
    EXPECT_EQ(read(panel[0], word, sizeof word), 7);
    close(panel[0]);
    EXPECT_STREQ(word, "farload");
    EXPECT_EQ(shown,
              "\x1b[?25l\x1b[2J\x1b[HWelcome to Kestrova Router Software remote installation\n"
              "Press Ctrl-Alt-Delete to abort\n");
    EXPECT_EQ(state.rawActive, 1);
}

TEST(Progress, PrintsOneDotPerSecondUntilStopped) {
    std::string during, after;
    {
        PtyConsole console;
        startProgress("Looking for harddrives...");
        during = console.output(3.4);
        stopProgress();
        after = console.output(1.5);
    }
    alarm(0); // the last dot request is still pending
    signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(during, "Looking for harddrives......");
    EXPECT_EQ(after, "\n") << "no dot may follow the end of the step";
}

TEST(Progress, ASystemCallCutByADotCarriesOn) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread late([&] {
        sigset_t alarmOnly;
        sigemptyset(&alarmOnly);
        sigaddset(&alarmOnly, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarmOnly, nullptr); // the dots must hit the reader
        std::this_thread::sleep_for(std::chrono::milliseconds(2300));
        if (write(ends[1], "k", 1) < 0) {
        }
    });
    char key = 0;
    ssize_t n = 0;
    std::string shown;
    {
        PtyConsole console;
        startProgress("");
        // The dots land while this read waits; it must not fail with EINTR.
        n = read(ends[0], &key, 1);
        stopProgress();
        shown = console.output();
    }
    late.join();
    alarm(0); // the last dot request is still pending
    signal(SIGALRM, SIG_DFL);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(shown, "..\n");
}
