// The console helpers: what the user sees and what keys do, on scripted keys and virtual time
// where the logic needs no terminal, and on a real pseudo-terminal where the terminal matters.
#include "startup/console.h"
#include "testbed/pty_console.h"
#include "testbed/recording_system.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

using namespace installer;

// The answers on scripted keys: what is asked and shown does not need a terminal.
TEST(AskYesNo, AcceptsYAndNInEitherCaseRingsForEverythingElseAndNoConsoleIsNo) {
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
        {"\n7qy", true, "Keep it? [y/n]:\a\a\ay\n"},
        // A console that is gone answers nothing ever again: no answer is not a yes.
        {"", false, "Keep it? [y/n]:\n"},
        {"x", false, "Keep it? [y/n]:\a\n"},
    };
    for (const Case& c : cases) {
        RecordingSystem system;
        system.keys = c.keys;
        testing::internal::CaptureStdout();
        bool answer = askYesNo("Keep it?");
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.shown) << "keys " << c.keys;
        EXPECT_EQ(answer, c.answer) << "keys " << c.keys;
    }
}

TEST(AskYesNo, ATerminalThatHangsUpCountsAsNoInsteadOfSpinning) {
    bool answer = true;
    std::string shown;
    {
        PtyConsole console;
        console.hangUp();
        std::jthread([&] { answer = askYesNo("Erase the disk?"); }).join();
        shown = console.output();
    }
    EXPECT_FALSE(answer);
    EXPECT_EQ(shown, "Erase the disk? [y/n]:\n");
}

TEST(WaitForEnter, RingsForOtherKeysAndReturnsOnEnterOrAtEndOfInput) {
    for (std::string keys : {"ab\nz", "ab"}) {
        RecordingSystem system;
        system.keys = keys;
        testing::internal::CaptureStdout();
        waitForEnter();
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\a\a") << keys;
        EXPECT_EQ(system.readKey(), keys.size() > 3 ? 'z' : -1) << "keys after ENTER stay unread";
    }
}

TEST(RawMode, TurnsOffLineEditingAndEchoAndOnlyLeavingWhatWasEnteredRestoresTheTerminal) {
    termios before{}, raw{}, after{}, untouched{};
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
        // Leaving without having entered only shows the cursor: what leaving would undo stays.
        untouched = after;
        untouched.c_lflag &= ~ECHO;
        tcsetattr(0, TCSANOW, &untouched);
        ConsoleState never;
        leaveRawMode(never);
        tcgetattr(0, &untouched);
        shown = console.output();
    }
    EXPECT_EQ(activeInside, 1);
    EXPECT_FALSE(raw.c_lflag & (ICANON | ECHO));
    EXPECT_TRUE(raw.c_lflag & ISIG) << "Ctrl-C must still interrupt";
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(state.rawActive, 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_FALSE(untouched.c_lflag & ECHO);
    EXPECT_EQ(shown, "\x1b[?25h\x1b[?25h") << "each leave shows the cursor";
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

// The dots in virtual time: one per second of the clock in use, none after the step.
TEST(Progress, PrintsOneDotPerSecondUntilStoppedAndNoneAfterACancel) {
    std::string during, after, cancelled;
    {
        RecordingSystem system;
        PtyConsole console;
        // The dots are written at once, but a loaded machine may pass them on through the
        // terminal late: each read waits for the whole text it expects.
        startProgress("Looking for harddrives...");
        system.advance(3);
        during = console.output(10, "Looking for harddrives......");
        stopProgress();
        system.advance(2);
        after = console.output(10, "\n");
        startProgress("Formatting disk...");
        system.advance(1);
        cancelProgress();
        system.advance(2);
        cancelled = console.output(10, "Formatting disk....");
        cancelled += console.output(0.3);
    }
    signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(during, "Looking for harddrives......");
    EXPECT_EQ(after, "\n") << "no dot may follow the end of the step";
    EXPECT_EQ(cancelled, "Formatting disk....");
}

TEST(Progress, ASystemCallCutByADotCarriesOn) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    RecordingSystem system;
    pthread_t reader = pthread_self();
    std::thread late([&] {
        // Two dots hit the waiting reader, then the key it waits for comes.
        for (int dot = 0; dot < 2; ++dot) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(reader, SIGALRM);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    signal(SIGALRM, SIG_DFL);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(shown, "..\n");
}
