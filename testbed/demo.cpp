// demo: the main job. In the virtual PC of the tests, one installation in each way the installer
// knows — from the install server over the network, from the FAT medium on the very disk, from
// the CD with the menu driven by keys — each followed by a look into the disk it left and a
// boot of that disk through the BIOS and our boot code. Everything runs in QEMU and in a network
// namespace of the run's own; nothing of this machine's disks or network is touched, and the
// work folder, the namespace and every process are gone when it ends, however it ends.
#include "disk/boot_record.h"
#include "testbed/ext_files.h"
#include "testbed/initramfs.h"
#include "testbed/isolation.h"
#include "testbed/support/text_files.h"
#include "testbed/vm.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace installer;

namespace fs = std::filesystem;

namespace {

const std::string build = DEMO_BUILD_DIR;
const std::string media = build + "/media";
const std::string serverProgram = DEMO_INSTALL_SERVER;
const std::string rpxProgram = DEMO_RPX;
const std::string standInSector = DEMO_PARTITION_BOOT_SECTOR;

std::atomic<bool> interrupted{false};
std::atomic<pid_t> emulator{-1}, server{-1};

void endRun() {
    interrupted = true;
    for (pid_t pid : {emulator.load(), server.load()})
        if (pid > 0)
            kill(pid, SIGKILL);
}

std::mutex outputLock;
bool consoleMidLine = false; // the live console's last character was not a newline

void out(const std::string& text) {
    std::lock_guard<std::mutex> hold(outputLock);
    if (consoleMidLine && !text.empty()) {
        std::fputc('\n', stdout);
        consoleMidLine = false;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    // Nobody reads any more (a closed pipe): the run ends the way an interrupt ends it.
    if (std::fflush(stdout) != 0)
        endRun();
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

// What each step took, for the closing table.
std::vector<std::pair<std::string, double>> timings;
std::string stepPrefix; // the installation the steps belong to

class Step {
public:
    explicit Step(std::string name) : name_(std::move(name)), start_(now()) {
        out("\n--- " + name_ + "\n");
    }
    ~Step() {
        double took = now() - start_;
        timings.emplace_back(stepPrefix + name_, took);
        out("--- " + name_ + ": " + seconds(took) + "\n");
    }

private:
    std::string name_;
    double start_;
};

void section(const std::string& title) {
    out("\n\n=============== " + title + " ===============\n");
}

// Screen-control sequences would act on this very terminal (clear it, move the cursor): the
// console is shown without them, and without the CR of CR LF.
class ConsoleText {
public:
    explicit ConsoleText(bool keepReturns = false) : keepReturns_(keepReturns) {}
    std::string filter(const char* data, size_t size) {
        std::string text;
        for (size_t i = 0; i < size; ++i) {
            char c = data[i];
            if (state_ == 1) {
                state_ = c == '[' ? 2 : 0;
                continue;
            }
            if (state_ == 2) {
                if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '@' || c == '~')
                    state_ = 0;
                continue;
            }
            if (c == '\x1b')
                state_ = 1;
            else if (c != '\0')
                text += c;
        }
        return keepReturns_ ? text : overwritten(text);
    }
    std::string filter(const std::string& text) { return filter(text.data(), text.size()); }

private:
    // A carriage return alone starts the line over (progress bars): what a screen would show
    // is the text after the line's last one.
    static std::string overwritten(const std::string& text) {
        std::string result, line;
        for (char c : text) {
            if (c == '\n') {
                while (!line.empty() && line.back() == '\r')
                    line.pop_back();
                size_t last = line.rfind('\r');
                result += (last == std::string::npos ? line : line.substr(last + 1)) + "\n";
                line.clear();
            } else
                line += c;
        }
        return result + line;
    }

    bool keepReturns_;
    int state_ = 0;
};

std::string indent(const std::string& text, const std::string& prefix = "    ") {
    std::string result;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        result += prefix + line + "\n";
    return result;
}

// The transcript without the kernel's own lines ("[    3.52] ..."), which --live shows.
std::string consoleShown(const std::string& console) {
    std::string kept;
    size_t left = 0;
    std::istringstream lines(console);
    for (std::string line; std::getline(lines, line);) {
        size_t digit = line.find_first_not_of(' ', 1);
        if (line.size() > 3 && line[0] == '[' && digit != std::string::npos &&
            std::isdigit(static_cast<unsigned char>(line[digit])) &&
            line.find("] ", digit) != std::string::npos) {
            ++left;
            continue;
        }
        kept += line + "\n";
    }
    return "  console (" + std::to_string(left) + " kernel lines left out):\n" +
           indent(kept, "    | ");
}

// A shell command's output (standard error too); status in *status.
std::string capture(const std::string& command, int* status = nullptr) {
    std::string text;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return "(cannot run " + command + ")\n";
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    int result = pclose(pipe);
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : 128;
    return text;
}

std::string shellWord(const std::string& text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Shows a command and what it said.
bool show(const std::string& command, const std::string& shown = "", std::string* said = nullptr) {
    int status = 0;
    std::string text = capture(command, &status);
    if (said)
        *said = text;
    out("  $ " + (shown.empty() ? command : shown) + "\n" + indent(text));
    return status == 0;
}

bool sparseImage(const std::string& path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && ftruncate(fd, size) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

std::string visibleKeys(const std::string& keys) {
    std::string shown;
    for (char c : keys)
        shown += c == ' ' ? "SPACE " : c == '\r' ? "ENTER " : std::string(1, c) + " ";
    shown.pop_back();
    return shown;
}

// The 512 bytes at offset of an image (fewer if it ends sooner).
std::string sectorAt(const std::string& image, uint64_t offset) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::string sector(512, '\0');
    in.read(sector.data(), 512);
    sector.resize(size_t(in.gcount()));
    return sector;
}

struct Settings {
    std::string mode = "all";
    bool live = false;
    std::string netns = "vmdemo";
    std::string work;
};

// The run's machine: the console shown live when asked, the emulator known to the signal
// thread so that an interrupt ends it at once.
class Machine {
public:
    Machine(VmOptions options, bool live) : live_(live) {
        if (live)
            options.consoleObserver = [this](const char* data, size_t size) {
                std::string text = filter_.filter(data, size);
                if (text.empty())
                    return;
                std::lock_guard<std::mutex> hold(outputLock);
                std::fwrite(text.data(), 1, text.size(), stdout);
                if (std::fflush(stdout) != 0)
                    endRun();
                consoleMidLine = text.back() != '\n';
            };
        vm_ = std::make_unique<VirtualMachine>(std::move(options));
    }
    ~Machine() {
        emulator = -1;
        vm_->stop();
    }
    bool start() {
        if (!vm_->start()) {
            out("demo: the virtual machine did not start: " + vm_->error() + "\n");
            return false;
        }
        emulator = vm_->emulatorPid();
        return true;
    }
    bool live() const { return live_; }
    VirtualMachine& operator*() { return *vm_; }
    VirtualMachine* operator->() { return vm_.get(); }
    // The console so far as it would read on a screen.
    std::string text() {
        ConsoleText filter;
        return filter.filter(vm_->rawTranscript());
    }

private:
    bool live_;
    ConsoleText filter_{true};
    std::unique_ptr<VirtualMachine> vm_;
};

// The console's screen as a person sees it at this moment (the menu redraws in place, which a
// transcript does not show): rendered from everything the machine wrote so far.
std::string screen(Machine& machine, const std::string& work) {
    std::string capture = work + "/screen.raw";
    std::ofstream(capture, std::ios::binary) << machine->rawTranscript();
    std::string rendered =
        ::capture(std::string(DEMO_SOURCE_DIR) + "/testbed/screen_render.py " + shellWord(capture));
    // "row NN |text|" then "attr NN flags"; reverse video (the menu's cursor) is marked
    // with ^ on a line of its own below the row.
    std::vector<std::string> rows;
    std::istringstream lines(rendered);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("row ", 0) == 0 && line.size() > 9) {
            std::string row = line.substr(8, line.size() - 9);
            row.erase(row.find_last_not_of(' ') + 1);
            rows.push_back(row);
        } else if (line.rfind("attr ", 0) == 0 && line.find('r', 8) != std::string::npos) {
            std::string marks = line.substr(8);
            for (char& c : marks)
                c = c == 'r' ? '^' : ' ';
            marks.erase(marks.find_last_not_of(' ') + 1);
            rows.push_back(marks);
        }
    }
    // Runs of empty rows shrink to one.
    std::string text;
    for (size_t i = 0; i < rows.size(); ++i)
        if (!(rows[i].empty() && i > 0 && rows[i - 1].empty()))
            text += "    |" + rows[i] + "\n";
    while (text.size() >= 6 && text.compare(text.size() - 6, 6, "    |\n") == 0)
        text.erase(text.size() - 6);
    return text;
}

struct Exchange {
    std::string expect, keys;
    std::string screenTitle = ""; // shown when the text has appeared, before the keys
};

bool dialogue(Machine& machine, const std::vector<Exchange>& steps, double seconds,
              const std::string& work = "") {
    for (const Exchange& step : steps) {
        if (!machine->waitFor(step.expect, seconds)) {
            if (!interrupted)
                out("demo: \"" + step.expect + "\" did not appear on the console (" +
                    machine->endDescription() + ")\n");
            return false;
        }
        usleep(300000); // a person reads before typing, and the screen is complete
        if (!step.screenTitle.empty())
            out("  screen " + step.screenTitle + ":\n" + screen(machine, work));
        if (!step.keys.empty()) {
            if (!step.screenTitle.empty() || !machine.live())
                out("  keys typed: " + visibleKeys(step.keys) + "\n");
            machine->send(step.keys);
        }
    }
    return true;
}

// What an installation must have left: the packages rpx list names, and files with their text.
struct Expected {
    std::vector<std::string> packages;
    std::vector<std::pair<std::string, std::string>> files;
};

// After the installation: what is on the disk, read from outside the machine; false (with the
// reason said) when it is not what the installation should have left.
bool showDisk(const std::string& disk, const std::string& work, const Expected& expected) {
    Step step("the installed disk, read from its image");
    std::string sector = sectorAt(disk, 0);
    bool ours = sector.size() == 512 &&
                std::memcmp(sector.data(), bootCode, sizeof bootCode) == 0 &&
                sector.substr(510) == "\x55\xaa";
    out(std::string("  sector 0: ") +
        (ours ? "our boot code (184 bytes), the partition table, 55 AA\n" : "NOT our boot code\n"));
    show("cd " + shellWord(fs::path(disk).parent_path()) + " && sfdisk -l " +
             shellWord(fs::path(disk).filename()),
         "sfdisk -l " + fs::path(disk).filename().string());
    uint64_t offset = 0, size = 0;
    if (!partitionExtent(disk, 1, offset, size)) {
        out("  no partition 1 on the disk\n");
        return false;
    }
    std::string device = disk + "?offset=" + std::to_string(offset);
    std::string at =
        "'" + fs::path(disk).filename().string() + "?offset=" + std::to_string(offset) + "'";
    // The superblock lines that say what was made; the rest of dumpe2fs -h is detail.
    std::string header = capture("dumpe2fs -h " + shellWord(device));
    std::string picked;
    std::istringstream lines(header);
    for (std::string line; std::getline(lines, line);)
        for (const char* key :
             {"Filesystem volume name", "Filesystem features", "Filesystem state", "Block count",
              "Block size", "Inode count", "Free blocks", "Mount count", "Journal size"})
            if (line.rfind(key, 0) == 0)
                picked += line + "\n";
    out("  $ dumpe2fs -h " + at + "   (selected lines)\n" + indent(picked));
    std::string report;
    bool clean = extFileSystemClean(disk, offset, report);
    out(std::string("  $ e2fsck -fn ") + at + "\n" +
        indent(clean ? "clean: nothing to repair" : report));

    // The whole file system, copied out with debugfs (nothing mounted).
    std::string root = work + "/installed-root";
    fs::remove_all(root);
    fs::create_directories(root);
    capture("debugfs -R " + shellWord("rdump / " + root) + " " + shellWord(device));
    // rdump writes the root directory's entries into a folder named after it.
    for (const fs::directory_entry& entry : fs::directory_iterator(root))
        if (entry.is_directory() && fs::exists(entry.path() / "var")) {
            std::string inner = entry.path();
            root = inner;
        }
    std::string listed;
    bool ok = show(rpxProgram + " list --root " + shellWord(root),
                   "rpx list --root (the disk's files)", &listed);
    std::vector<std::string> names;
    std::istringstream listLines(listed);
    for (std::string line; std::getline(listLines, line);)
        names.push_back(line.substr(0, line.find(' ')));
    std::sort(names.begin(), names.end());
    if (names != expected.packages) {
        std::string wanted;
        for (const std::string& name : expected.packages)
            wanted += " " + name;
        out("demo: the package database should list" + wanted + "\n");
        ok = false;
    }
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory() && !entry.is_symlink())
            continue;
        std::string name = entry.path().string().substr(root.size());
        if (name.rfind("/lost+found", 0) == 0)
            continue;
        std::string what = entry.is_symlink()
                               ? "-> " + fs::read_symlink(entry.path()).string()
                               : std::to_string(fs::file_size(entry.path())) + " bytes";
        files.push_back(name + "  " + what);
    }
    std::sort(files.begin(), files.end());
    out("  files (" + std::to_string(files.size()) + "):\n");
    size_t shown = 0;
    for (const std::string& file : files) {
        if (++shown > 40) {
            out("    ... and " + std::to_string(files.size() - 40) + " more\n");
            break;
        }
        out("    " + file + "\n");
    }
    for (const auto& [path, text] : expected.files) {
        bool there = fs::exists(root + path);
        std::string found = there ? fileContents(root + path) : "";
        out("  " + path + ": " +
            (!there          ? "(missing)\n"
             : found.empty() ? "(empty)\n"
                             : indent(found, "")));
        if (!there || found != text) {
            out("demo: " + path + " should hold \"" + text + "\"\n");
            ok = false;
        }
    }
    if (!ours)
        out("demo: sector 0 does not start with our boot code\n");
    if (!clean)
        out("demo: e2fsck found faults\n");
    return ours && clean && ok;
}

// Starts the disk through the BIOS until our boot code has done its part; the console lines.
std::string bootOnce(const std::string& disk, bool& chained, bool& missing) {
    VmOptions options;
    options.bootFrom = "disk";
    options.disks = {VmDisk(disk)};
    options.biosOnSerial = true;
    options.memoryMiB = 16;
    options.timeLimit = 60;
    Machine machine(options, false);
    chained = missing = false;
    if (!machine.start())
        return "";
    double until = now() + 55;
    while (now() < until && !interrupted) {
        std::string text = machine.text();
        chained = contains(text, "partition boot sector reached from entry");
        missing = contains(text, "Missing operating system");
        if (chained || missing || !machine->running())
            break;
        usleep(200000);
    }
    usleep(300000);
    std::string text = machine.text();
    // From the BIOS's boot line on: what the boot code did.
    size_t from = text.find("Booting from Hard Disk");
    return from == std::string::npos ? text : text.substr(from);
}

bool bootDisk(const std::string& disk, const std::string& work) {
    Step step("starting the installed disk through the BIOS and our boot code");
    bool chained = false, missing = false;
    std::string text = bootOnce(disk, chained, missing);
    out("  the disk as installed:\n" + indent(text, "    | "));
    if (interrupted)
        return false;
    uint64_t offset = 0, size = 0;
    std::string first = partitionExtent(disk, 1, offset, size) ? sectorAt(disk, offset) : "";
    bool hasSignature = first.size() == 512 && first.substr(510) == "\x55\xaa";
    bool empty = first == std::string(512, '\0');
    out(std::string("  partition 1's first sector: ") +
        (empty          ? "all zero"
         : hasSignature ? "ends in 55 AA"
                        : "no 55 AA at its end") +
        "\n");
    if (missing && !hasSignature)
        out("  Our boot code found partition 1 marked active and loaded that sector; without a\n"
            "  boot signature it stops there. The sample packages bring no boot loader for the\n"
            "  new system, so the installed system itself does not start.\n");
    else
        out("  (the boot code did not answer as expected)\n");

    // A stand-in for the system's loader in the partition's boot sector, on a copy of the disk,
    // shows the chain: the boot code hands over to whatever that sector holds.
    std::string copy = work + "/boot-check.img";
    capture("cp --sparse=always " + shellWord(disk) + " " + shellWord(copy));
    std::string sector = fileContents(standInSector);
    int fd = open(copy.c_str(), O_WRONLY);
    bool written = fd >= 0 && partitionExtent(copy, 1, offset, size) && sector.size() == 512 &&
                   pwrite(fd, sector.data(), 512, off_t(offset)) == 512;
    if (fd >= 0)
        close(fd);
    if (!written) {
        out("  demo: cannot write the stand-in boot sector\n");
        return false;
    }
    bool chainedCopy = false, missingCopy = false;
    text = bootOnce(copy, chainedCopy, missingCopy);
    fs::remove(copy);
    out("  a copy with a stand-in loader (testbed/disk_partition_boot.S) in partition 1:\n" +
        indent(text, "    | "));
    out(chainedCopy ? "  The boot code chained to partition 1's boot sector.\n"
                    : "  The boot code did NOT chain to partition 1.\n");
    return missing && !hasSignature && chainedCopy;
}

// The install server, in the namespace of the machine's network; its lines as they come.
class InstallServer {
public:
    bool start(const std::string& netns, const std::string& directory, const std::string& report,
               bool live) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        pid_t pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            sigset_t all;
            sigfillset(&all);
            sigprocmask(SIG_UNBLOCK, &all, nullptr); // the server drains on SIGINT of its own
            dup2(pipeFds[1], 1);
            dup2(pipeFds[1], 2);
            execlp("ip", "ip", "netns", "exec", netns.c_str(), serverProgram.c_str(), "serve",
                   directory.c_str(), "--interface", "vmtap0", "--expect", "1", "--exit-when-done",
                   "--table", "plain", "--report", report.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        pid_ = pid;
        server = pid;
        reader_ = std::thread([this, fd = pipeFds[0], live] {
            std::string pending;
            char buffer[1024];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
                pending.append(buffer, size_t(n));
                for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    {
                        std::lock_guard<std::mutex> hold(lock_);
                        lines_.push_back(line);
                    }
                    if (live)
                        out("  server| " + line + "\n");
                }
            }
            close(fd);
        });
        return true;
    }
    // Waits for the server to end by itself (it does once the machine is done); its status.
    int finish(double seconds) {
        int status = 0;
        bool ended = false;
        for (double until = now() + seconds; now() < until && !interrupted;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                ended = true;
                break;
            }
            usleep(100000);
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        server = -1;
        pid_ = -1;
        if (reader_.joinable())
            reader_.join();
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~InstallServer() {
        if (pid_ > 0)
            finish(0);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }

private:
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// The server's JSON report of the run: every machine done, every file sent complete.
bool serverReport(const std::string& path) {
    nlohmann::json report = nlohmann::json::parse(fileContents(path), nullptr, false);
    if (report.is_discarded() || !report.contains("machines")) {
        out("demo: the install server left no report\n");
        return false;
    }
    bool ok = !report["machines"].empty();
    out("  install server report (--report):\n");
    for (const nlohmann::json& machine : report["machines"]) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "    %s  release %s  %s  %.0f bytes in %.1f s  %d retransmissions\n",
                      machine.value("mac", "").c_str(), machine.value("release", "").c_str(),
                      machine.value("result", "").c_str(), machine.value("bytes", 0.0),
                      machine.value("duration", 0.0), machine.value("retransmissions", 0));
        out(line);
        ok = ok && machine.value("result", "") == "done";
        for (const nlohmann::json& file : machine.value("files", nlohmann::json::array())) {
            bool complete = file.value("complete", false);
            out("      " + file.value("name", "") + "  " + std::to_string(file.value("bytes", 0)) +
                " bytes" + (complete ? "" : "  INCOMPLETE") + "\n");
            ok = ok && complete;
        }
    }
    if (!ok)
        out("demo: the install server did not see the installation through\n");
    return ok;
}

bool networkInstallation(const Settings& settings) {
    stepPrefix = "net: ";
    section("network installation against the install server");
    std::string served = settings.work + "/served";
    std::string disk = settings.work + "/net-disk.img";
    std::string image = settings.work + "/net-initrd.gz";
    {
        Step step("preparing the served directory and the network boot image");
        for (const char* sub : {"drivers", "packages", "scripts"})
            fs::create_directories(served + "/" + sub);
        // One driver package for the media's kernel, whatever its release.
        fs::copy_file(media + "/net/drivers.rpx", served + "/drivers/default.rpx");
        for (const char* name : {"system", "routing", "extras"})
            fs::copy_file(build + "/samples/" + name + ".rpx",
                          served + "/packages/" + name + ".rpx");
        std::ofstream(served + "/scripts/setup.scr") << "hostname demo-net\n";
        if (!show(serverProgram + " check " + shellWord(served), "install-server check served/"))
            return false;
        // The PXE step is left out: the kernel and the boot image of the network set are
        // loaded directly; /dev/tty9 (the tool log) becomes the second serial line.
        fs::copy_file(media + "/net/tftp/initrd.gz", image);
        InitramfsWriter overlay(image, true);
        overlay.characterDevice("/dev/tty9", 4, 65);
        if (!overlay.close() || !sparseImage(disk, off_t(128) << 20))
            return false;
        out("  target disk: 128 MiB, empty; kernel and boot image of the network set loaded\n"
            "  directly (the PXE step in front of them is not emulated)\n");
    }
    VmNetwork network(settings.netns, "vmtap0", "10.99.0.1/24");
    if (!network.ok()) {
        out("demo: network namespace: " + network.error() + "\n");
        return false;
    }
    InstallServer server;
    std::string report = settings.work + "/server-report.json";
    bool installed = false;
    std::string console;
    {
        Step step("network installation in the virtual machine");
        if (!server.start(network.name(), served, report, settings.live))
            return false;
        VmOptions options;
        options.kernel = media + "/vmlinux";
        options.initrd = image;
        options.disks = {VmDisk(disk)};
        options.networkNamespace = network.name();
        options.tap = network.tap();
        options.timeLimit = 900;
        Machine machine(options, settings.live);
        if (!machine.start())
            return false;
        installed = dialogue(machine, {{"Software installed.", ""}}, 800);
        // The server's farewell ends the wait for ENTER and the machine restarts by itself.
        if (installed && !machine->wait(120)) {
            out("demo: the machine did not restart after the installation\n");
            installed = false;
        }
        console = machine.text();
        int status = server.finish(installed ? 30 : 0);
        out("  install server ended with status " + std::to_string(status) + "\n");
        installed = installed && status == 0;
    }
    if (!settings.live)
        out(consoleShown(console));
    std::string lines;
    for (const std::string& line : server.lines())
        lines += line + "\n";
    if (!settings.live)
        out("  install server (--table plain):\n" + indent(lines, "    server| "));
    if (!installed || interrupted || !serverReport(report))
        return false;
    bool ok = showDisk(
        disk, settings.work,
        {{"dhcp", "extras", "ppp", "routing", "system"}, {{"/setup.scr", "hostname demo-net\n"}}});
    return bootDisk(disk, settings.work) && ok;
}

bool hardDiskInstallation(const Settings& settings) {
    stepPrefix = "hdd: ";
    section("hard-disk installation from the FAT medium");
    std::string disk = settings.work + "/hdd.img";
    {
        Step step("copying the FAT medium (it is installed over), with a configuration script");
        capture("cp --sparse=always " + shellWord(media + "/hdd.img") + " " + shellWord(disk));
        // The medium's script (empty as built) goes to the new system's /rw/autorun.scr.
        std::string script = settings.work + "/autorun.scr";
        std::ofstream(script) << "hostname demo-hdd\n";
        if (!show("mcopy -o -i " + shellWord(disk) + " " + shellWord(script) + " ::autorun.scr",
                  "mcopy -o -i hdd.img autorun.scr ::   (hostname demo-hdd)"))
            return false;
        show("mdir -i " + shellWord(disk) + " ::", "mdir -i hdd.img ::");
    }
    bool installed = false;
    std::string console;
    {
        Step step("hard-disk installation in the virtual machine");
        VmOptions options;
        options.bootFrom = "disk";
        options.disks = {VmDisk(disk)};
        options.timeLimit = 900;
        Machine machine(options, settings.live);
        if (!machine.start())
            return false;
        // The medium's own flow: no questions, a restart once the software is installed.
        installed = dialogue(machine, {{"Software installed.", ""}}, 800);
        if (installed && !machine->wait(120)) {
            out("demo: the machine did not restart after the installation\n");
            installed = false;
        }
        console = machine.text();
    }
    if (!settings.live)
        out(consoleShown(console));
    if (!installed || interrupted)
        return false;
    bool ok = showDisk(disk, settings.work,
                       {{"dhcp", "extras", "ppp", "routing", "system"},
                        {{"/rw/autorun.scr", "hostname demo-hdd\n"}}});
    return bootDisk(disk, settings.work) && ok;
}

bool cdromInstallation(const Settings& settings) {
    stepPrefix = "cdrom: ";
    section("CD-ROM installation, the menu driven by keys");
    std::string disk = settings.work + "/cd-disk.img";
    if (!sparseImage(disk, off_t(128) << 20))
        return false;
    out("  disc: build/media/cdrom.iso (started through the BIOS); target disk: 128 MiB, empty\n");
    bool installed = false;
    std::string console;
    {
        Step step("CD-ROM installation in the virtual machine");
        VmOptions options;
        options.bootFrom = "cdrom";
        options.cdrom = media + "/cdrom.iso";
        options.disks = {VmDisk(disk)};
        options.timeLimit = 900;
        Machine machine(options, settings.live);
        if (!machine.start())
            return false;
        // Keys as a person would press them: n moves down to extras, SPACE selects it (and
        // what it needs), i installs; no old configuration to keep; yes, erase the disk.
        installed = dialogue(machine,
                             {{"(depends on nothing):", "n", "as the menu comes up"},
                              {"extras (depends on", " "},
                              {"[X] extras", "i", "after n and SPACE"},
                              {"Do you want to keep old configuration?  [y/n]:", "n"},
                              {"Continue? [y/n]:", "y"},
                              {"Software installed.", ""},
                              {"Press ENTER to reboot", "\r"}},
                             600, settings.work);
        if (installed && !machine->wait(120)) {
            out("demo: the machine did not restart after the installation\n");
            installed = false;
        }
        console = machine.text();
    }
    if (!settings.live)
        out(consoleShown(console));
    if (!installed || interrupted)
        return false;
    bool ok =
        showDisk(disk, settings.work, {{"dhcp", "extras", "ppp", "system"}, {{"/CDINSTALL", ""}}});
    return bootDisk(disk, settings.work) && ok;
}

// Ends the run's emulator and server at once on an interrupt; the main thread then unwinds and
// removes everything else (work folder, namespace) on its normal way out.
void watchSignals(sigset_t set) {
    int signal = 0;
    while (sigwait(&set, &signal) == 0)
        endRun();
}

void usage() {
    std::fprintf(stderr, "usage: demo [--mode all|net|hdd|cdrom] [--live] [--netns NAME] [--keep]\n"
                         "            [--took NAME SECONDS]...\n"
                         "  --mode   one installation (default all three)\n"
                         "  --live   show the console (and the server's lines) while it runs\n"
                         "  --netns  name of the network namespace made for the run (vm...)\n"
                         "  --keep   keep the work folder with the disk images\n"
                         "  --took NAME SECONDS  a step done before, for the closing table\n");
}

} // namespace

int main(int argc, char** argv) {
    if (!dropRestartAndModuleCapabilities()) {
        std::fprintf(stderr, "demo: cannot give up CAP_SYS_BOOT and CAP_SYS_MODULE\n");
        return 2;
    }
    Settings settings;
    bool keep = false;
    double before = 0;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--live")
            settings.live = true;
        else if (option == "--keep")
            keep = true;
        else if (option == "--mode" && i + 1 < argc)
            settings.mode = argv[++i];
        else if (option == "--netns" && i + 1 < argc)
            settings.netns = argv[++i];
        else if (option == "--took" && i + 2 < argc) {
            // A step done before this program, for the closing table: --took NAME SECONDS.
            timings.emplace_back(argv[i + 1], std::atof(argv[i + 2]));
            before += timings.back().second;
            i += 2;
        } else {
            usage();
            return option == "--help" ? 0 : 2;
        }
    }
    if (settings.mode != "all" && settings.mode != "net" && settings.mode != "hdd" &&
        settings.mode != "cdrom") {
        usage();
        return 2;
    }
    // 77: cannot run on this machine (the test harness counts it as skipped).
    if (geteuid() != 0) {
        std::fprintf(stderr, "demo: the virtual machine's disks and network need root\n");
        return 77;
    }
    for (const std::string& file : {media + "/vmlinux", media + "/hdd.img", media + "/cdrom.iso",
                                    media + "/net/drivers.rpx", standInSector})
        if (access(file.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "demo: %s is missing: build the target media first\n",
                         file.c_str());
            return 77;
        }

    sigset_t set;
    sigemptyset(&set);
    // SIGPIPE stays blocked: a write into a closed pipe fails instead (see out()).
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(watchSignals, set).detach();

    char pattern[] = "/tmp/installer-demo-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("demo: mkdtemp");
        return 2;
    }
    settings.work = pattern;

    std::vector<std::pair<std::string, bool>> results;
    double started = now();
    const std::vector<std::pair<std::string, bool (*)(const Settings&)>> modes = {
        {"net", networkInstallation}, {"hdd", hardDiskInstallation}, {"cdrom", cdromInstallation}};
    for (const auto& [mode, run] : modes) {
        if (interrupted || (settings.mode != "all" && settings.mode != mode))
            continue;
        bool passed = false;
        // A file the run cannot copy or read ends that installation, not the run's clean-up.
        try {
            passed = run(settings);
        } catch (const std::exception& error) {
            out(std::string("demo: ") + error.what() + "\n");
        }
        results.emplace_back(mode, passed);
    }

    section("how long each step took");
    for (const auto& [name, took] : timings) {
        char line[160];
        std::snprintf(line, sizeof line, "  %8.1f s  %s\n", took, name.c_str());
        out(line);
    }
    out("  " + seconds(now() - started + before) + " in all\n");
    bool ok = !interrupted;
    for (const auto& [name, passed] : results) {
        out("  " + name + " installation: " + (passed ? "done" : "FAILED") + "\n");
        ok = ok && passed;
    }
    if (interrupted)
        out("  interrupted\n");
    if (keep)
        out("  work folder kept: " + settings.work + "\n");
    else
        fs::remove_all(settings.work);
    return interrupted ? 130 : ok ? 0 : 1;
}
