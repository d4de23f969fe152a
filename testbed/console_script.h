#pragma once
// What the sandbox and vm programs share: console steps given on the command line (--expect,
// --send, --sleep and, for the virtual PC, --key), run in the order given, or else this
// terminal connected to the run's console.
#include "tools/common/command_line.h"

#include <csignal>
#include <functional>
#include <string>
#include <vector>

struct ConsoleStep {
    std::string kind; // "expect", "send", "key", "sleep"
    std::string value;
};

// The run as the steps see it.
struct ConsoleDriver {
    std::function<bool(const std::string& text, double seconds)> waitFor;
    std::function<void(const std::string& keys)> send;
    std::function<bool(const std::string& keys)> sendKey; // only where --key is offered
    std::function<bool()> running;
};

// C escapes as a shell user types them: \n \r \t \e \xHH, and \\ for a backslash.
std::string unescapeKeys(const std::string& text);

// Adds the script options to a program's command line; with keys, --key too.
void addConsoleScriptOptions(CLI::App& app, bool keys, int expectSeconds);
// The steps given, in command-line order, their values unescaped.
std::vector<ConsoleStep> consoleScript(const CLI::App& app);

// Runs the steps; false when an expected text did not appear within expectSeconds (said on
// standard error under the program's name).
bool runConsoleScript(const std::vector<ConsoleStep>& steps, const ConsoleDriver& run,
                      double expectSeconds, const char* program);

// Connects this terminal to the console until the run ends, the time is up, or *interrupted
// is set; with leaveKey, typing that key ends the relay too.
void relayTerminal(const ConsoleDriver& run, double seconds, const char* banner, char leaveKey = 0,
                   const volatile sig_atomic_t* interrupted = nullptr);
