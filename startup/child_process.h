#pragma once
// Child processes: system tools run to completion, and the one child connected by a pipe.
#include <cstdio>
#include <initializer_list>
#include <sys/types.h>

namespace installer {

extern pid_t pipedChildPid; // the one piped child, or -1

// fork() for every child of the installer. Ctrl-C reaches the whole foreground process group;
// a child still running the installer's code between fork and exec would take the abort
// handler with it and hold a second abort dialogue. The interrupt signal is therefore held
// over the fork and set back to its default action in the child before it is let through.
pid_t forkChild();

// Runs program (inside root when root is not null) with its output sent to toolLog; returns the
// raw wait status, or -1. At most 15 arguments are passed on.
int runTool(const char* root, const char* program, std::initializer_list<const char*> args);
// Starts /sbin/sfdisk with args; returns a stream on its standard output, or null.
FILE* openToolOutput(std::initializer_list<const char*> args);
// Starts /sbin/sfdisk with args (">null" sends its output to toolLog); returns a stream on its
// standard input, or null.
FILE* openToolInput(std::initializer_list<const char*> args);
// Closes the piped child's stream and waits for it; raw wait status, or -1.
int closePipedChild(FILE* stream);

} // namespace installer
