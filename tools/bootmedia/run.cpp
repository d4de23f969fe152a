#include "tools/bootmedia/run.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bootmedia {

bool runProgram(const std::vector<std::string>& argv, std::string& error,
                const std::string& directory, const std::string& outputFile) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int output = -1;
    if (!outputFile.empty()) {
        output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (output < 0) {
            error = outputFile + ": " + std::strerror(errno);
            return false;
        }
    }
    pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        if (output >= 0)
            close(output);
        return false;
    }
    if (child == 0) {
        if (!directory.empty() && chdir(directory.c_str()) != 0)
            _exit(126);
        if (output >= 0)
            dup2(output, 1);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (output >= 0)
        close(output);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            error = std::string("waiting for ") + argv[0] + ": " + std::strerror(errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        error = "cannot run " + argv[0] + " (is it installed?)";
    else if (WIFEXITED(status))
        error = argv[0] + " failed with status " + std::to_string(WEXITSTATUS(status));
    else
        error = argv[0] + " was killed by signal " + std::to_string(WTERMSIG(status));
    return false;
}

} // namespace bootmedia
