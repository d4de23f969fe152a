#include "startup/console.h"

#include "startup/system_interface.h"

#include <cstdio>
#include <unistd.h>

namespace installer {

ConsoleState* consoleState = nullptr;
const char* toolLog = "/dev/tty9";
int lcdFd = -1;
volatile sig_atomic_t installFinished = 0;

void enterRawMode(ConsoleState& state) {
    if (state.rawActive == 1)
        return;
    // Without a terminal there is nothing to save, and restoring garbage later would be worse.
    if (tcgetattr(0, &state.saved) != 0)
        return;
    termios raw = state.saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSAFLUSH, &raw);
    state.rawActive = 1;
}

void leaveRawMode(ConsoleState& state) {
    if (state.rawActive == 1) {
        tcsetattr(0, TCSAFLUSH, &state.saved);
        state.rawActive = 0;
    }
    std::fputs("\x1b[?25h", stdout);
    std::fflush(stdout);
}

int readConsoleKey() {
    return currentSystem().readKey();
}

static void ringBell() {
    std::fputc(7, stdout);
    std::fflush(stdout);
}

bool askYesNo(const char* prompt) {
    std::printf("%s [y/n]:", prompt);
    for (;;) {
        std::fflush(stdout);
        int key = readConsoleKey();
        if (key == 'y' || key == 'Y') {
            std::puts("y");
            return true;
        }
        if (key == 'n' || key == 'N') {
            std::puts("n");
            return false;
        }
        // A console that is gone answers nothing ever again: asking on would spin for good,
        // and no answer is not a yes.
        if (key < 0) {
            std::putchar('\n');
            std::fflush(stdout);
            return false;
        }
        ringBell();
    }
}

void waitForEnter() {
    for (;;) {
        int key = readConsoleKey();
        if (key == '\n' || key < 0)
            return;
        ringBell();
    }
}

void showBanner(const char* title) {
    if (consoleState)
        enterRawMode(*consoleState);
    std::printf("\x1b[?25l\x1b[2J\x1b[H");
    std::printf("Welcome to Kestrova Router Software %s\n", title);
    std::puts("Press Ctrl-Alt-Delete to abort");
    std::fflush(stdout);
    if (lcdFd != -1) {
        static const char word[] = "farload";
        if (write(lcdFd, word, sizeof word - 1) < 0) {
            // the front panel is a nicety; the console carries the dialogue
        }
    }
}

} // namespace installer
