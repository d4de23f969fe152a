#include "startup/init_wrapper.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

bool startedAsInit(const char* argv0) {
    return argv0 && std::strstr(argv0, "init") != nullptr;
}

bool forkAndWaitAsInit(int& exitCode) {
    pid_t child = fork();
    if (child <= 0)
        return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            exitCode = -1;
            return true;
        }
    }
    exitCode = status;
    return true;
}
