#pragma once
// Runs a program the way the kernel runs the boot image's init: as process 1 of fresh PID,
// mount, network, UTS and IPC namespaces, chrooted into a boot-image root of its own, with the
// console on a pseudo-terminal and without the capabilities to restart the machine or load
// kernel modules. Disks are loop devices over image files, presented as /dev/sda, /dev/hda...
// Whatever a run set up is torn down when the Sandbox goes away.
#include "testbed/console_capture.h"
#include "testbed/loop_disk.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct SandboxDisk {
    std::string name;  // "sda" ... "sdh", "hda" ... "hdd", "sr0" ... "sr3"
    std::string image; // host image file, attached read-write
};

struct SandboxPath {
    std::string hostPath; // file or directory on this machine
    std::string path;     // where it appears inside the root
};

struct SandboxOptions {
    std::string program; // host binary run as process 1; empty: the static installer
    std::string argv0 = "/sbin/init";
    std::vector<std::string> args;
    std::optional<std::string> type; // contents of /TYPE, written as given
    bool serialConsole = false;      // console only as /dev/ttyS0; no /dev/tty0
    std::vector<SandboxDisk> disks;
    std::vector<SandboxPath> copies;       // copied into the root
    std::vector<SandboxPath> binds;        // bind-mounted into the root (read-write)
    std::vector<std::string> hostPrograms; // copied at their own paths, with their libraries
    // A network namespace to join (e.g. "/run/netns/lan" or "/proc/<pid>/ns/net") instead of a
    // fresh empty one, for runs that talk to a test server over a veth pair.
    std::string networkNamespace;
    // Called from the reader thread with every piece of console output as it arrives.
    std::function<void(const char*, size_t)> consoleObserver;
};

// The static 32-bit installer of this build.
std::string defaultInstallerBinary();

class Sandbox {
public:
    explicit Sandbox(SandboxOptions options);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Sets everything up and starts the program. Refuses (false, see error()) when any step of
    // the isolation fails; nothing is left behind then.
    bool start();
    const std::string& error() const { return error_; }

    // Waits until text appears in the console output after the end of the previous match.
    bool waitFor(const std::string& text, double seconds = 10);
    // Types keys on the console ("\r" is ENTER, "\x03" is Ctrl-C).
    void send(const std::string& keys);
    // Sends sig to every process of the run (process 1 only gets it with a handler for it).
    void signal(int sig);
    // Waits for process 1 to end; false on timeout.
    bool wait(double seconds = 30);
    bool running();
    // How process 1 ended: the raw wait status (valid after wait() returned true).
    int waitStatus() const { return status_; }
    bool exited() const;
    int exitCode() const;   // -1 unless exited()
    int termSignal() const; // 0 unless killed by a signal
    std::string endDescription() const;

    // Console output so far, with the terminal's CR LF turned back into LF.
    std::string transcript() const;
    std::string rawTranscript() const;
    // What tools wrote to /dev/tty9.
    std::string toolLog() const;
    // Host paths of the loop devices, in the order of options.disks.
    std::vector<std::string> loopDevices() const;
    std::vector<int> loopNumbers() const;
    std::string rootDirectory() const { return rootDir_; }
    pid_t hostPid() const { return pid_; }
    // Mount points inside the run now (from its process 1), one per line.
    std::string mountPoints() const;
    // Host pids of the children of process 1.
    std::vector<pid_t> childrenOfProcessOne() const;

    // Kills what still runs and tears everything down; returns false when something stays
    // attached or mounted (described in error()). The destructor calls it.
    bool stop();

private:
    bool prepare(std::string& failure);
    void readerLoop();
    void teardown();

    SandboxOptions options_;
    std::string error_;
    std::string rootDir_;
    std::vector<LoopDisk> loops_;
    int consoleMaster_ = -1, consoleSlave_ = -1;
    int logMaster_ = -1, logSlave_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    int netns_ = -1;
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::thread reader_;
    ConsoleCapture console_;
    mutable std::mutex mutex_; // log_
    std::string log_;
    struct ChildPlan;
    std::unique_ptr<ChildPlan> plan_;
};
