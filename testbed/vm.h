#pragma once
// A virtual PC for runs on a real kernel: QEMU system emulation (software, TCG), started either
// with a kernel and boot image loaded directly (the fast path) or from a boot medium through
// the BIOS. The console is the first serial line, driven from here (expect text, send keys,
// transcript); the second serial line carries the tool log. Disks are image files on the IDE
// controllers, in order /dev/sda, /dev/sdb... under libata, then the CD-ROM (/dev/sr0); a
// floppy image is /dev/fd0. Restart, power-off and kernel panic end the machine, and so does
// the time limit; nothing of a run stays behind once the VirtualMachine goes away, even when
// the test process dies (the emulator gets SIGKILL with its parent).
#include "testbed/console_capture.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct VmDisk {
    VmDisk(std::string image) : image(std::move(image)) {}
    VmDisk(std::string image, unsigned cylinders, unsigned heads, unsigned sectors)
        : image(std::move(image)), cylinders(cylinders), heads(heads), sectors(sectors) {}
    std::string image; // raw image file, attached read-write
    // The geometry the drive reports to the BIOS (which then does no translation); 0: the
    // emulator's choice.
    unsigned cylinders = 0, heads = 0, sectors = 0;
    // A file of the emulator's block-debugging rules for this drive (like cdromFaults): the
    // reads or writes they name fail with the errno they give, a dying disk.
    std::string faults;
};

struct VmOptions {
    // Direct start: kernel image (bzImage or an uncompressed vmlinux with a PVH entry) and
    // boot image. The command line always gets "panic=-1" (a panic ends the machine) and the
    // console: "console=ttyS0", or with vtConsole the VT as the last console.
    std::string kernel, initrd, append;
    // Start from a medium instead (kernel empty): "cdrom" or "disk" (the first hard disk).
    std::string bootFrom;
    std::vector<VmDisk> disks; // at most 4 with a CD-ROM counted in
    std::string cdrom;         // ISO image, read-only, after the disks
    // A file of the emulator's block-debugging rules for the CD-ROM drive ("inject-error"
    // sections naming a sector): reads that cover those sectors fail like a scratched disc.
    std::string cdromFaults;
    std::string floppy; // raw floppy image (the kernel needs its floppy driver)
    // A network card (e1000) on a tap device made inside this network namespace (a name
    // under /run/netns, see VmNetwork); the emulator runs in that namespace.
    std::string networkNamespace, tap;
    int memoryMiB = 256;
    double timeLimit = 300; // seconds, from start() to the machine being killed
    // Kernel messages and the dialogue on the VT as well; /dev/console is the VT then.
    bool vtConsole = false;
    // The BIOS shows its screen on the serial console too (boot menus, boot-code messages).
    bool biosOnSerial = false;
    std::string qemu = "qemu-system-x86_64";
    // Called from the reader thread with each piece of console output as it arrives.
    std::function<void(const char*, size_t)> consoleObserver;
};

class VirtualMachine {
public:
    explicit VirtualMachine(VmOptions options);
    ~VirtualMachine();
    VirtualMachine(const VirtualMachine&) = delete;
    VirtualMachine& operator=(const VirtualMachine&) = delete;

    // Starts the emulator; false (see error()) when it could not be started.
    bool start();
    const std::string& error() const { return error_; }

    // Waits until text appears on the console after the end of the previous match.
    bool waitFor(const std::string& text, double seconds = 30);
    // Types on the serial console ("\r" is ENTER, "\x03" is Ctrl-C).
    void send(const std::string& keys);
    // Presses keys on the PC keyboard through the monitor ("ctrl-alt-delete", "ret").
    bool sendKey(const std::string& keys);
    // One monitor command; its answer.
    std::string monitor(const std::string& command);

    // Waits for the machine to end (restart, power-off, panic, time limit); false on timeout.
    bool wait(double seconds = 60);
    bool running();
    bool timedOut() const { return timedOut_; }
    bool panicked() const;
    // "ended by itself", "killed at the time limit", ...
    std::string endDescription() const;

    // Console output so far, CR LF turned into LF.
    std::string transcript() const;
    std::string rawTranscript() const;
    std::string toolLog() const;
    // What the emulator itself said (its standard error).
    std::string emulatorLog() const;
    // The emulator's command line, for messages.
    std::string commandLine() const;
    // Seconds from start() to the first appearance of text on the console, or -1.
    double secondsUntil(const std::string& text) const;

    pid_t emulatorPid() const { return pid_; }
    // Where the run keeps its files (tool log, monitor socket) until stop().
    const std::string& runDirectory() const { return scratch_; }

    // Kills the emulator if it still runs and removes the run's files. The destructor calls it.
    void stop();

private:
    std::vector<std::string> arguments() const;
    void readerLoop();
    bool reap(bool block);

    VmOptions options_;
    std::string error_, scratch_, keptToolLog_, keptEmulatorLog_;
    int consoleIn_ = -1, consoleOut_ = -1, wakeRead_ = -1, wakeWrite_ = -1;
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false, timedOut_ = false;
    std::thread reader_;
    ConsoleCapture console_;
    mutable std::mutex mutex_; // timedOut_
    double startedAt_ = 0;
};

// A network namespace of a test's own with a tap device for the machine's network card, up and
// with an address, so that a server run inside the namespace talks to the machine. Names must
// start with "vm". Removed (with the tap) when the object goes away.
class VmNetwork {
public:
    VmNetwork(std::string name, std::string tap = "vmtap0", std::string address = "10.99.0.1/24");
    ~VmNetwork();
    VmNetwork(const VmNetwork&) = delete;
    VmNetwork& operator=(const VmNetwork&) = delete;
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }
    const std::string& tap() const { return tap_; }
    std::string path() const { return "/run/netns/" + name_; } // for Sandbox::networkNamespace

private:
    std::string name_, tap_, error_;
    bool ok_ = false;
};
