#include "testbed/vm.h"
#include "testbed/support/text_files.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string namespacePath(const std::string& name) {
    return name.find('/') == std::string::npos ? "/run/netns/" + name : name;
}

// Runs a command to completion; its standard error goes into error when it fails.
bool runCommand(const std::vector<std::string>& command, std::string& error) {
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(errPipe[1], 2);
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    std::string said;
    char buffer[1024];
    ssize_t n;
    while ((n = read(errPipe[0], buffer, sizeof buffer)) > 0)
        said.append(buffer, static_cast<size_t>(n));
    close(errPipe[0]);
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    std::string line;
    for (const std::string& word : command)
        line += (line.empty() ? "" : " ") + word;
    error = line + " failed: " + said;
    return false;
}

} // namespace

VirtualMachine::VirtualMachine(VmOptions options)
    : options_(std::move(options)), console_(options_.consoleObserver) {}

VirtualMachine::~VirtualMachine() {
    stop();
}

std::vector<std::string> VirtualMachine::arguments() const {
    std::vector<std::string> a = {options_.qemu,
                                  "-accel",
                                  "tcg",
                                  "-M",
                                  "pc",
                                  "-m",
                                  std::to_string(options_.memoryMiB),
                                  "-nodefaults",
                                  "-display",
                                  "none",
                                  "-no-reboot"};
    // The console is this process's pipe; the tool log a file; the monitor a socket.
    a.insert(a.end(), {"-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console"});
    a.insert(a.end(), {"-chardev", "file,id=toollog,path=" + scratch_ + "/tool.log", "-serial",
                       "chardev:toollog"});
    a.insert(a.end(), {"-monitor", "unix:" + scratch_ + "/monitor,server=on,wait=off"});
    // Test boot sectors end the machine through this port.
    a.insert(a.end(), {"-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"});
    if (options_.vtConsole)
        a.insert(a.end(), {"-vga", "std"});
    if (options_.biosOnSerial)
        a.insert(a.end(), {"-fw_cfg", "name=etc/sercon-port,file=" + scratch_ + "/sercon-port"});
    int index = 0;
    for (const VmDisk& disk : options_.disks) {
        std::string id = "disk" + std::to_string(index);
        a.insert(a.end(), {"-drive", "file=" +
                                         (disk.faults.empty()
                                              ? disk.image
                                              : "blkdebug:" + disk.faults + ":" + disk.image) +
                                         ",format=raw,if=none,cache=unsafe,id=" + id});
        // Two drives on each of the two IDE buses, in order.
        std::string device = "ide-hd,drive=" + id + ",bus=ide." + std::to_string(index / 2) +
                             ",unit=" + std::to_string(index % 2);
        if (disk.heads)
            device += ",cyls=" + std::to_string(disk.cylinders) +
                      ",heads=" + std::to_string(disk.heads) +
                      ",secs=" + std::to_string(disk.sectors) + ",bios-chs-trans=none";
        a.insert(a.end(), {"-device", device});
        ++index;
    }
    if (!options_.cdrom.empty())
        a.insert(a.end(),
                 {"-drive", "file=" +
                                (options_.cdromFaults.empty()
                                     ? options_.cdrom
                                     : "blkdebug:" + options_.cdromFaults + ":" + options_.cdrom) +
                                ",format=raw,if=ide,media=cdrom,readonly=on,index=" +
                                std::to_string(index++)});
    if (!options_.floppy.empty())
        a.insert(a.end(), {"-drive", "file=" + options_.floppy + ",format=raw,if=floppy,index=0"});
    if (!options_.tap.empty())
        a.insert(a.end(),
                 {"-netdev", "tap,id=net,ifname=" + options_.tap + ",script=no,downscript=no",
                  "-device", "e1000,netdev=net"});
    if (!options_.kernel.empty()) {
        std::string line = "panic=-1 console=ttyS0";
        if (options_.vtConsole)
            line += " console=tty0";
        if (!options_.append.empty())
            line += " " + options_.append;
        a.insert(a.end(), {"-kernel", options_.kernel, "-append", line});
        if (!options_.initrd.empty())
            a.insert(a.end(), {"-initrd", options_.initrd});
    } else if (options_.bootFrom == "cdrom") {
        a.insert(a.end(), {"-boot", "order=d"});
    } else {
        a.insert(a.end(), {"-boot", "order=c"});
    }
    return a;
}

std::string VirtualMachine::commandLine() const {
    std::string line;
    for (const std::string& word : arguments())
        line += (line.empty() ? "" : " ") + word;
    return line;
}

bool VirtualMachine::start() {
    if (pid_ > 0) {
        error_ = "already started";
        return false;
    }
    if (options_.kernel.empty() && options_.bootFrom != "cdrom" && options_.bootFrom != "disk") {
        error_ = "neither a kernel nor a medium to start from (bootFrom \"cdrom\" or \"disk\")";
        return false;
    }
    if (options_.disks.size() + (options_.cdrom.empty() ? 0 : 1) > 4) {
        error_ = "the IDE controllers take four drives, CD-ROM included";
        return false;
    }
    for (const std::string& file :
         {options_.kernel, options_.initrd, options_.cdrom, options_.floppy}) {
        if (!file.empty() && access(file.c_str(), R_OK) != 0) {
            error_ = file + ": " + std::strerror(errno);
            return false;
        }
    }
    for (const VmDisk& disk : options_.disks) {
        if (access(disk.image.c_str(), R_OK | W_OK) != 0) {
            error_ = disk.image + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!options_.tap.empty() && options_.networkNamespace.empty()) {
        error_ = "a tap device only inside a network namespace of the test's own";
        return false;
    }
    char pattern[] = "/tmp/vm-run-XXXXXX";
    if (!mkdtemp(pattern)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    scratch_ = pattern;
    std::ofstream(scratch_ + "/sercon-port", std::ios::binary).write("\xf8\x03", 2); // COM1
    std::ofstream(scratch_ + "/tool.log");

    int in[2], out[2], wake[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(wake, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    int netns = -1;
    if (!options_.networkNamespace.empty()) {
        std::string path = namespacePath(options_.networkNamespace);
        netns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (netns < 0) {
            error_ = path + ": " + std::strerror(errno);
            for (int fd : {in[0], in[1], out[0], out[1], wake[0], wake[1]})
                close(fd);
            return false;
        }
    }
    std::vector<std::string> words = arguments();
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string emulatorLog = scratch_ + "/emulator.log";
    pid_t parent = getpid();

    startedAt_ = now();
    console_.restartClock();
    pid_ = fork();
    if (pid_ == 0) {
        // Its own process group, so that it and anything it starts are killed together, and
        // killed as well when the test dies without cleaning up.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (netns >= 0 && setns(netns, CLONE_NEWNET) != 0)
            _exit(126);
        int log = open(emulatorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (log >= 0)
            dup2(log, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (netns >= 0)
        close(netns);
    close(in[0]);
    close(out[1]);
    consoleIn_ = in[1];
    consoleOut_ = out[0];
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        stop();
        return false;
    }
    setpgid(pid_, pid_);
    reader_ = std::thread([this] { readerLoop(); });
    return true;
}

void VirtualMachine::readerLoop() {
    char buffer[4096];
    double deadline = startedAt_ + options_.timeLimit;
    for (;;) {
        pollfd fds[2] = {{consoleOut_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 2, 200) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (now() >= deadline && !timedOut_) {
            std::lock_guard<std::mutex> lock(mutex_);
            timedOut_ = true;
            kill(-pid_, SIGKILL);
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP)))
            continue;
        ssize_t n = read(consoleOut_, buffer, sizeof buffer);
        if (n <= 0) {
            // The emulator is gone; keep watching only for the wake-up.
            pollfd wakeOnly{wakeRead_, POLLIN, 0};
            poll(&wakeOnly, 1, -1);
            return;
        }
        console_.append(buffer, static_cast<size_t>(n));
    }
}

bool VirtualMachine::reap(bool block) {
    if (pid_ <= 0 || reaped_)
        return reaped_;
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == pid_) {
        status_ = status;
        reaped_ = true;
    }
    return reaped_;
}

bool VirtualMachine::running() {
    return pid_ > 0 && !reap(false);
}

bool VirtualMachine::waitFor(const std::string& text, double seconds) {
    return console_.waitFor(text, seconds, [this] { return running(); });
}

void VirtualMachine::send(const std::string& keys) {
    if (consoleIn_ < 0)
        return;
    // A serial line takes keys one by one; a burst can outrun the guest's receive buffer.
    for (char key : keys) {
        if (write(consoleIn_, &key, 1) != 1)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string VirtualMachine::monitor(const std::string& command) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = scratch_ + "/monitor";
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "";
    }
    // The monitor greets with a prompt, answers, and prompts again.
    auto readPrompt = [&](std::string& into) {
        char buffer[1024];
        auto until = Clock::now() + std::chrono::seconds(5);
        while (into.find("(qemu) ") == std::string::npos && Clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            into.append(buffer, static_cast<size_t>(n));
        }
    };
    std::string greeting;
    readPrompt(greeting);
    std::string line = command + "\n";
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
        readPrompt(answer);
    close(fd);
    return answer;
}

bool VirtualMachine::sendKey(const std::string& keys) {
    return monitor("sendkey " + keys).find("(qemu) ") != std::string::npos;
}

bool VirtualMachine::wait(double seconds) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    while (running()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pid_ <= 0)
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return true;
}

bool VirtualMachine::panicked() const {
    return console_.contains("Kernel panic - not syncing");
}

std::string VirtualMachine::endDescription() const {
    if (pid_ <= 0)
        return "not started";
    if (!reaped_)
        return "still running";
    if (timedOut_)
        return "killed at the time limit of " + std::to_string(options_.timeLimit) + " s";
    std::string how = panicked() ? "kernel panic, " : "";
    if (WIFEXITED(status_))
        return how + "emulator exited with status " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_))
        return how + "emulator killed by signal " + strsignal(WTERMSIG(status_));
    return how + "emulator ended with wait status " + std::to_string(status_);
}

std::string VirtualMachine::transcript() const {
    return console_.transcript();
}

std::string VirtualMachine::rawTranscript() const {
    return console_.raw();
}

std::string VirtualMachine::toolLog() const {
    if (scratch_.empty())
        return keptToolLog_;
    return withoutCarriageReturns(fileContents(scratch_ + "/tool.log"));
}

std::string VirtualMachine::emulatorLog() const {
    return scratch_.empty() ? keptEmulatorLog_ : fileContents(scratch_ + "/emulator.log");
}

double VirtualMachine::secondsUntil(const std::string& text) const {
    return console_.secondsUntil(text);
}

void VirtualMachine::stop() {
    if (pid_ > 0 && !reaped_) {
        kill(-pid_, SIGKILL);
        reap(true);
    }
    if (reader_.joinable()) {
        if (write(wakeWrite_, "x", 1) < 0) {
        }
        reader_.join();
    }
    closeFd(consoleIn_);
    closeFd(consoleOut_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    if (!scratch_.empty()) {
        // The logs stay readable after the run's files are gone.
        keptToolLog_ = toolLog();
        keptEmulatorLog_ = emulatorLog();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
        scratch_.clear();
    }
}

VmNetwork::VmNetwork(std::string name, std::string tap, std::string address)
    : name_(std::move(name)), tap_(std::move(tap)) {
    if (name_.rfind("vm", 0) != 0 || tap_.rfind("vm", 0) != 0) {
        error_ = "namespace and tap names must start with \"vm\"";
        return;
    }
    // A namespace left by a killed run of the same test is replaced.
    std::string ignored;
    runCommand({"ip", "netns", "del", name_}, ignored);
    ok_ = runCommand({"ip", "netns", "add", name_}, error_) &&
          runCommand({"ip", "-n", name_, "link", "set", "lo", "up"}, error_) &&
          runCommand({"ip", "-n", name_, "tuntap", "add", "dev", tap_, "mode", "tap"}, error_) &&
          runCommand({"ip", "-n", name_, "addr", "add", address, "dev", tap_}, error_) &&
          runCommand({"ip", "-n", name_, "link", "set", tap_, "up"}, error_);
}

VmNetwork::~VmNetwork() {
    std::string ignored;
    // The tap lives in the namespace and goes with it.
    if (!name_.empty() && name_.rfind("vm", 0) == 0)
        runCommand({"ip", "netns", "del", name_}, ignored);
}
