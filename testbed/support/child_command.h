#pragma once
// A command run as a child of the test, its standard output and error in a file, so that the
// test can signal it and time its end; killed if the test ends first.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

class ChildCommand {
public:
    ChildCommand(std::vector<std::string> args, const std::string& outputFile) {
        pid = fork();
        if (pid == 0) {
            int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    ~ChildCommand() {
        if (pid > 0 && status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    ChildCommand(const ChildCommand&) = delete;
    ChildCommand& operator=(const ChildCommand&) = delete;

    // The exit status (128 + the signal for one killed) once it ended within `seconds`; -1
    // while it still runs.
    int wait(double seconds) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
             status < 0 && std::chrono::steady_clock::now() < end;) {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) == pid)
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            else
                usleep(20000);
        }
        return status;
    }
    void signal(int sig) const { kill(pid, sig); }

    pid_t pid = -1;
    int status = -1;
};
