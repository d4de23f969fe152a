#include "repository/repository.h"

#include "package/record/record_files.h"
#include "package/record/version.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

namespace {
void ignoreChildSignal(int) {}
} // namespace

bool Repository::runScript(const InstalledPackage& package, const std::string& scriptName) {
    std::string inside = std::string(packageDatabase) + "/" + package.name + "/" + scriptName;
    if (!fileExists(targetDirectory + inside))
        return true;
    std::string command = inside + " >/dev/null 2>&1";

    struct sigaction action = {};
    action.sa_handler = ignoreChildSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGCHLD, &action, nullptr);

    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        // The working directory goes along into the new root, so nothing of the boot image
        // stays reachable from the script.
        if (chroot(targetDirectory) == 0 && chdir("/") == 0)
            execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    bool waited = child > 0;
    while (waited && waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            waited = false;
    }
    if (waited && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    warning("package %s %s script failed", packageLabel(package).c_str(), scriptName.c_str());
    return false;
}

} // namespace installer
