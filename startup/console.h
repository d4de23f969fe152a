#pragma once
// The console helpers every flow shares: raw keyboard mode, questions, the dot progress display,
// the banner, and the process-wide console state of start-up.
#include <csignal>
#include <termios.h>

namespace installer {

struct ConsoleState {
    termios saved{};   // attributes of standard input before raw mode
    int rawActive = 0; // 1 while raw mode is in force
};

extern ConsoleState* consoleState; // created by start-up
extern const char* toolLog;        // "/dev/tty9", or "/dev/null" on a serial console
extern int lcdFd;                  // front panel, or -1
extern volatile sig_atomic_t installFinished;

void enterRawMode(ConsoleState& state);
void leaveRawMode(ConsoleState& state);
bool askYesNo(const char* prompt);
void waitForEnter();
void startProgress(const char* message);
void stopProgress();
void showBanner(const char* title);

// One key from standard input (SystemInterface::readKey of the system in use), or -1 at end of
// input.
int readConsoleKey();
// Stops the dot display at once, without the closing newline (the abort path).
void cancelProgress();

} // namespace installer
