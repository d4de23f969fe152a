// The command lines of the host tools, on CLI11, with one style for all of them:
//   - `--help` or `-h` anywhere (and `help` as the command) prints the help of the command it
//     belongs to on standard output and ends with status 0;
//   - no command at all prints the program's help on standard error, status 2;
//   - a command line that cannot be understood is one line on standard error,
//     "PROGRAM: COMMAND: WHAT (see PROGRAM COMMAND --help)", and status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace hosttools {

constexpr int exitUsage = 2;

// Gives a program or one of its commands a help text written by hand, shown exactly as written
// instead of the one CLI11 would make up.
void useHelpText(CLI::App& app, std::string text);

// Parses the command line into app. -1 when the program goes on with the parsed values,
// otherwise the status to end with (the help or the error is printed already).
int parseCommandLine(CLI::App& app, int argc, char** argv);

// Prints a bad command line's message for the command app stands for, in the style above, and
// gives exitUsage.
int usageError(const CLI::App& app, const std::string& what);

} // namespace hosttools
