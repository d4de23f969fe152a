#pragma once
// Runs a shell command line to its end for a test: what it wrote on standard output (add
// " 2>&1" to the line for its errors too) and its exit status, -1 when it could not be started
// or did not exit by itself.
#include <sys/wait.h>

#include <cstdio>
#include <string>

struct CommandRun {
    int status = -1;
    std::string output;
};

inline CommandRun runCommand(const std::string& command) {
    CommandRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
