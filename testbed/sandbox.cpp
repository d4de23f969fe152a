#include "testbed/sandbox.h"

#include "testbed/boot_root.h"
#include "testbed/isolation.h"
#include "testbed/support/system_error.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef INSTALLER32_BINARY_PATH
#define INSTALLER32_BINARY_PATH ""
#endif
#ifndef SANDBOX_SFDISK_TOOL
#define SANDBOX_SFDISK_TOOL ""
#endif

// Everything the cloned first process needs, worked out before the clone.
struct Sandbox::ChildPlan {
    IsolationPlan isolation;
    std::vector<RootStep> root;
    std::vector<std::string> argvStrings, envStrings, emulatorStrings;
    std::vector<char*> argv, envp, emulatorArgv;
};

namespace {

using Clock = std::chrono::steady_clock;

bool validDiskName(const std::string& name) {
    if (name.size() == 3 && name[0] == 's' && name[1] == 'r') // CD-ROM drives
        return name[2] >= '0' && name[2] <= '3';
    if (name.size() != 3 || name[1] != 'd')
        return false;
    if (name[0] == 'h')
        return name[2] >= 'a' && name[2] <= 'd';
    return name[0] == 's' && name[2] >= 'a' && name[2] <= 'h';
}

bool openPty(int& master, int& slave, std::string& slavePath, bool raw) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0)
        return false;
    slavePath = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return false;
    if (raw) {
        termios attributes{};
        tcgetattr(slave, &attributes);
        cfmakeraw(&attributes);
        tcsetattr(slave, TCSANOW, &attributes);
    }
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    ioctl(slave, TIOCSWINSZ, &size);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
}

const char* const hostEmulator = "/usr/bin/qemu-i386-static";
const char* const rootEmulator = "/usr/lib/bootimage/qemu-i386";

// A 32-bit x86 executable: this machine's kernel may refuse to run it natively.
bool isI386Executable(const std::string& path) {
    unsigned char header[20] = {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool whole = read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    close(fd);
    return whole &&
           std::memcmp(header,
                       "\x7f"
                       "ELF",
                       4) == 0 &&
           header[4] == 1 && header[18] == 3; // ELFCLASS32, EM_386
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

std::string defaultInstallerBinary() {
    const char* fromEnvironment = std::getenv("INSTALLER_SANDBOX_PROGRAM");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : INSTALLER32_BINARY_PATH;
}

Sandbox::Sandbox(SandboxOptions options)
    : options_(std::move(options)), console_(options_.consoleObserver) {
    if (options_.program.empty())
        options_.program = defaultInstallerBinary();
}

Sandbox::~Sandbox() {
    stop();
}

bool Sandbox::prepare(std::string& failure) {
    if (access(options_.program.c_str(), X_OK) != 0) {
        failure = systemError("program " + options_.program);
        return false;
    }
    for (const SandboxDisk& disk : options_.disks)
        if (!validDiskName(disk.name)) {
            failure = "disk name " + disk.name + " is not one the installer looks for";
            return false;
        }

    RootPlan root;
    for (const char* dir : {"/bin", "/sbin", "/lib", "/usr/lib/bootimage", "/etc", "/proc", "/tmp",
                            "/floppy", "/dev"})
        root.directory(dir);
    root.directory("/tmp", 01777);
    root.copyFile(options_.program, "/sbin/init");
    // The boot image's own partitioning tool, once this build has one; the plain one until then.
    std::string sfdiskTool = SANDBOX_SFDISK_TOOL;
    if (const char* fromEnvironment = std::getenv("INSTALLER_SANDBOX_SFDISK"))
        sfdiskTool = fromEnvironment;
    if (sfdiskTool.empty() || access(sfdiskTool.c_str(), X_OK) != 0)
        sfdiskTool = "/sbin/sfdisk";
    // partx stands in for a kernel that reads partition tables of loop devices itself.
    bool ok = addBootImageTools(root, sfdiskTool) &&
              root.addProgram("/usr/bin/partx", "/usr/lib/bootimage/partx");
    for (const std::string& program : options_.hostPrograms)
        ok = ok && root.addProgram(program, program);
    for (const SandboxPath& copy : options_.copies)
        ok = ok && root.copyTree(copy.hostPath, copy.path);
    bool emulate = isI386Executable(options_.program) && access(hostEmulator, X_OK) == 0;
    if (emulate)
        ok = ok && root.addProgram(hostEmulator, rootEmulator);
    if (!ok) {
        failure = root.error();
        return false;
    }
    if (options_.type)
        root.text(*options_.type, "/TYPE");

    root.device(false, makedev(1, 3), "/dev/null", 0666);
    root.device(false, makedev(1, 5), "/dev/zero", 0666);
    root.device(false, makedev(1, 8), "/dev/random", 0666);
    root.device(false, makedev(1, 9), "/dev/urandom", 0666);
    root.device(false, makedev(5, 0), "/dev/tty", 0666);

    std::string consolePath, logPath;
    if (!openPty(consoleMaster_, consoleSlave_, consolePath, false) ||
        !openPty(logMaster_, logSlave_, logPath, true)) {
        failure = systemError("pseudo-terminal");
        return false;
    }
    root.bind(consolePath, options_.serialConsole ? "/dev/ttyS0" : "/dev/tty0", false);
    root.bind(logPath, "/dev/tty9", false);

    for (const SandboxDisk& disk : options_.disks) {
        LoopDisk loop;
        if (!loop.attach(disk.image)) {
            failure = loop.error();
            return false;
        }
        root.device(true, loop.deviceNumber(), "/dev/" + disk.name, 0660);
        loops_.push_back(std::move(loop));
    }
    for (const SandboxPath& bind : options_.binds) {
        struct stat st {};
        if (stat(bind.hostPath.c_str(), &st) != 0) {
            failure = systemError(bind.hostPath);
            return false;
        }
        root.bind(bind.hostPath, bind.path, S_ISDIR(st.st_mode));
    }

    if (!options_.networkNamespace.empty()) {
        netns_ = open(options_.networkNamespace.c_str(), O_RDONLY | O_CLOEXEC);
        if (netns_ < 0) {
            failure = systemError("network namespace " + options_.networkNamespace);
            return false;
        }
    }

    char rootTemplate[] = "/tmp/installer-sandbox-XXXXXX";
    if (!mkdtemp(rootTemplate)) {
        failure = systemError("mkdtemp");
        return false;
    }
    rootDir_ = rootTemplate;

    plan_ = std::make_unique<ChildPlan>();
    plan_->root = root.steps();
    plan_->argvStrings.push_back(options_.argv0);
    for (const std::string& arg : options_.args)
        plan_->argvStrings.push_back(arg);
    plan_->envStrings = {"PATH=/sbin:/bin:/usr/sbin:/usr/bin", "TERM=linux", "HOME=/"};
    plan_->argv = pointers(plan_->argvStrings);
    plan_->envp = pointers(plan_->envStrings);
    if (emulate) {
        plan_->emulatorStrings = {"qemu-i386", "-0", options_.argv0, "/sbin/init"};
        for (const std::string& arg : options_.args)
            plan_->emulatorStrings.push_back(arg);
        plan_->emulatorArgv = pointers(plan_->emulatorStrings);
    }

    IsolationPlan& isolation = plan_->isolation;
    isolation.rootDir = rootDir_.c_str();
    isolation.rootSteps = &plan_->root;
    isolation.consoleFd = consoleSlave_;
    isolation.serialConsole = options_.serialConsole;
    isolation.networkNamespaceFd = netns_;
    isolation.program = "/sbin/init";
    isolation.argv = plan_->argv.data();
    isolation.envp = plan_->envp.data();
    if (emulate) {
        isolation.emulator = rootEmulator;
        isolation.emulatorArgv = plan_->emulatorArgv.data();
    }
    return true;
}

bool Sandbox::start() {
    if (pid_ > 0) {
        error_ = "already started";
        return false;
    }
    std::string failure;
    if (!prepare(failure)) {
        error_ = "sandbox not started: " + failure;
        teardown();
        return false;
    }
    int status[2];
    int wake[2];
    if (pipe2(status, O_CLOEXEC) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        error_ = systemError("sandbox not started: pipe");
        teardown();
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    plan_->isolation.statusFd = status[1];

    pid_ = startIsolated(plan_->isolation);
    int startErrno = errno;
    close(status[1]);
    if (pid_ < 0) {
        close(status[0]);
        errno = startErrno;
        error_ = systemError("sandbox not started: clone");
        teardown();
        return false;
    }
    // The first process reports a failed isolation step on the status pipe; a successful exec
    // closes it without a word.
    char message[1024];
    ssize_t n;
    std::string report;
    while ((n = read(status[0], message, sizeof message)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            report.append(message, static_cast<size_t>(n));
    close(status[0]);
    if (!report.empty()) {
        error_ = "sandbox not started: " + report;
        teardown();
        return false;
    }
    reader_ = std::thread([this] { readerLoop(); });
    return true;
}

void Sandbox::readerLoop() {
    char buffer[4096];
    for (;;) {
        pollfd fds[3] = {
            {consoleMaster_, POLLIN, 0}, {logMaster_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 3, 200) < 0 && errno != EINTR)
            return;
        if (fds[2].revents)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            if (i == 0) {
                console_.append(buffer, static_cast<size_t>(n));
            } else {
                std::lock_guard<std::mutex> lock(mutex_);
                log_.append(buffer, static_cast<size_t>(n));
            }
        }
    }
}

bool Sandbox::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        reaped_ = true;
        return false;
    }
    return r == 0;
}

bool Sandbox::waitFor(const std::string& text, double seconds) {
    return console_.waitFor(text, seconds, [this] { return running(); });
}

void Sandbox::send(const std::string& keys) {
    size_t done = 0;
    for (int attempts = 0; done < keys.size() && attempts < 500; ++attempts) {
        ssize_t n = write(consoleMaster_, keys.data() + done, keys.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Sandbox::signal(int sig) {
    if (pid_ > 0 && !reaped_)
        kill(-pid_, sig);
}

bool Sandbox::wait(double seconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    while (running()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ <= 0)
        return false;
    // Let the reader take in what the run wrote just before it ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    return true;
}

bool Sandbox::exited() const {
    return reaped_ && WIFEXITED(status_);
}
int Sandbox::exitCode() const {
    return exited() ? WEXITSTATUS(status_) : -1;
}
int Sandbox::termSignal() const {
    return reaped_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

std::string Sandbox::endDescription() const {
    if (!reaped_)
        return "still running";
    if (WIFEXITED(status_))
        return "exited with status " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_))
        return std::string("killed by signal ") + strsignal(WTERMSIG(status_));
    return "ended with wait status " + std::to_string(status_);
}

std::string Sandbox::transcript() const {
    return console_.transcript();
}

std::string Sandbox::rawTranscript() const {
    return console_.raw();
}

std::string Sandbox::toolLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return withoutCarriageReturns(log_);
}

std::vector<std::string> Sandbox::loopDevices() const {
    std::vector<std::string> paths;
    for (const LoopDisk& loop : loops_)
        paths.push_back(loop.devicePath());
    return paths;
}

std::vector<int> Sandbox::loopNumbers() const {
    std::vector<int> numbers;
    for (const LoopDisk& loop : loops_)
        numbers.push_back(loop.number());
    return numbers;
}

std::string Sandbox::mountPoints() const {
    std::string path = "/proc/" + std::to_string(pid_) + "/mountinfo";
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return "";
    std::string points;
    char line[4096];
    while (std::fgets(line, sizeof line, file)) {
        // fields: id parent major:minor root mount-point ...
        char point[4096];
        if (std::sscanf(line, "%*s %*s %*s %*s %4095s", point) == 1)
            points += std::string(point) + "\n";
    }
    std::fclose(file);
    return points;
}

std::vector<pid_t> Sandbox::childrenOfProcessOne() const {
    std::string path =
        "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
    std::vector<pid_t> children;
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return children;
    int child;
    while (std::fscanf(file, "%d", &child) == 1)
        children.push_back(child);
    std::fclose(file);
    return children;
}

void Sandbox::teardown() {
    if (pid_ > 0 && !reaped_) {
        // Killing process 1 ends every process of its namespace.
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = status;
        reaped_ = true;
    }
    if (reader_.joinable()) {
        if (write(wakeWrite_, "x", 1) < 0) {
        }
        reader_.join();
    }
    closeFd(netns_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    closeFd(consoleMaster_);
    closeFd(consoleSlave_);
    closeFd(logMaster_);
    closeFd(logSlave_);
    for (LoopDisk& loop : loops_)
        if (!loop.detach())
            error_ += (error_.empty() ? "" : "; ") + loop.error();
    if (!rootDir_.empty() && rmdir(rootDir_.c_str()) != 0 && errno != ENOENT)
        error_ += (error_.empty() ? "" : "; ") + systemError("rmdir " + rootDir_);
}

bool Sandbox::stop() {
    std::string before = error_;
    teardown();
    return error_ == before;
}
