#include "testbed/chroot_runner.h"

#include "testbed/boot_root.h"

#include <cstdlib>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

std::string runInRoot(const std::string& root, const std::function<std::string()>& body) {
    int report[2];
    if (pipe(report) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        std::string problem;
        if (chroot(root.c_str()) != 0 || chdir("/") != 0)
            problem = "cannot enter " + root;
        else
            problem = body();
        if (write(report[1], problem.data(), problem.size()) < 0) {
        }
        _exit(0);
    }
    close(report[1]);
    std::string problem;
    char buffer[512];
    ssize_t n;
    while ((n = read(report[0], buffer, sizeof buffer)) > 0)
        problem.append(buffer, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        problem += " (the test child died)";
    return problem;
}

std::string makeScriptRoot(const std::string& scriptPath, const std::string& script) {
    char pattern[] = "/tmp/installer-root-XXXXXX";
    if (!mkdtemp(pattern))
        return "";
    std::string root = pattern;
    RootPlan plan;
    plan.directory("/dev");
    plan.directory("/tmp", 01777);
    if (!plan.addProgram("/bin/bash", "/bin/bash") || !plan.addProgram("/bin/cat", "/bin/cat"))
        return "";
    plan.device(false, makedev(1, 3), "/dev/null", 0666);
    plan.text(script, scriptPath, 0755);
    char message[512];
    if (!applyRootPlan(plan.steps(), root.c_str(), message, sizeof message)) {
        removeRoot(root);
        return "";
    }
    return root;
}

void removeRoot(const std::string& root) {
    if (root.rfind("/tmp/installer-root-", 0) != 0)
        return;
    std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) {
    }
}
