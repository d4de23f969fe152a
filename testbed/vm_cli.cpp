// vm: starts the virtual PC of the tests by hand (a kernel and boot image, or a boot medium),
// with the serial console on this terminal or driven by a small script. See testbed/README.md.
#include "testbed/isolation.h"
#include "testbed/vm.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t interrupted = 0;

void endRun(int) {
    interrupted = 1;
}

void usage() {
    std::fprintf(
        stderr,
        "usage: vm [options]\n"
        "  --kernel PATH      kernel loaded directly (with --initrd, the boot image)\n"
        "  --initrd PATH      boot image (gzip'd newc archive)\n"
        "  --append TEXT      more kernel command line (panic=-1 and the console are given)\n"
        "  --boot cdrom|disk  start from the CD-ROM or the first disk through the BIOS\n"
        "  --disk IMAGE       hard disk image, in order /dev/sda, /dev/sdb... (repeatable)\n"
        "  --cdrom ISO        CD-ROM image (/dev/sr0)\n"
        "  --floppy IMAGE     floppy image (/dev/fd0)\n"
        "  --netns NAME       run inside this network namespace, with the NIC on --tap\n"
        "  --tap NAME         tap device in that namespace for an e1000 network card\n"
        "  --memory MIB       memory (default 256)\n"
        "  --vt               kernel console and dialogue on the VT too (monitor keys reach it)\n"
        "  --bios-serial      the BIOS screen on the serial console as well\n"
        "  --tool-log FILE    save the second serial line (the tool log)\n"
        "  --timeout SECONDS  kill the machine after this long (default 600)\n"
        "script, run in order (otherwise this terminal is the serial console):\n"
        "  --expect TEXT      wait up to 120 s for TEXT on the console\n"
        "  --send KEYS        type KEYS on the serial line (\\r is ENTER, \\x03 is Ctrl-C)\n"
        "  --key KEYS         press keys on the PC keyboard (monitor names: ctrl-alt-delete)\n"
        "  --sleep SECONDS    pause\n");
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 'e')
            out += '\x1b';
        else if (c == 'x' && i + 2 < text.size() + 1) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

struct Action {
    std::string kind, value;
};

// This terminal becomes the serial console until the machine ends or the time is up. Ctrl-]
// leaves, as Ctrl-C has to reach the machine.
void relayTerminal(VirtualMachine& machine, double seconds) {
    termios saved{};
    bool isTerminal = tcgetattr(0, &saved) == 0;
    if (isTerminal) {
        termios raw = saved;
        cfmakeraw(&raw);
        tcsetattr(0, TCSANOW, &raw);
        std::fprintf(stderr, "[vm: your keys go to the serial console; Ctrl-] ends]\r\n");
    }
    for (double waited = 0; machine.running() && waited < seconds && !interrupted; waited += 0.1) {
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, 100) > 0 && (in.revents & POLLIN)) {
            char keys[256];
            ssize_t n = read(0, keys, sizeof keys);
            if (n <= 0)
                break;
            std::string typed(keys, static_cast<size_t>(n));
            if (typed.find('\x1d') != std::string::npos)
                break;
            machine.send(typed);
        }
    }
    if (isTerminal)
        tcsetattr(0, TCSANOW, &saved);
}

} // namespace

int main(int argc, char** argv) {
    if (!dropRestartAndModuleCapabilities()) {
        std::fprintf(stderr, "vm: cannot give up CAP_SYS_BOOT and CAP_SYS_MODULE\n");
        return 2;
    }
    VmOptions options;
    options.timeLimit = 600;
    std::vector<Action> script;
    std::string toolLogFile;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--vt") {
            options.vtConsole = true;
            continue;
        }
        if (option == "--bios-serial") {
            options.biosOnSerial = true;
            continue;
        }
        if (option == "--help" || i + 1 >= argc) {
            usage();
            return option == "--help" ? 0 : 2;
        }
        std::string value = argv[++i];
        if (option == "--kernel")
            options.kernel = value;
        else if (option == "--initrd")
            options.initrd = value;
        else if (option == "--append")
            options.append = value;
        else if (option == "--boot")
            options.bootFrom = value;
        else if (option == "--disk")
            options.disks.push_back(value);
        else if (option == "--cdrom")
            options.cdrom = value;
        else if (option == "--floppy")
            options.floppy = value;
        else if (option == "--netns")
            options.networkNamespace = value;
        else if (option == "--tap")
            options.tap = value;
        else if (option == "--memory")
            options.memoryMiB = std::atoi(value.c_str());
        else if (option == "--tool-log")
            toolLogFile = value;
        else if (option == "--timeout")
            options.timeLimit = std::atof(value.c_str());
        else if (option == "--expect" || option == "--send" || option == "--key" ||
                 option == "--sleep")
            script.push_back({option.substr(2), unescape(value)});
        else {
            usage();
            return 2;
        }
    }
    options.consoleObserver = [](const char* data, size_t size) {
        if (write(1, data, size) < 0) {
        }
    };
    VirtualMachine machine(options);
    if (!machine.start()) {
        std::fprintf(stderr, "vm: %s\n", machine.error().c_str());
        return 2;
    }
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, endRun);
    bool scriptOk = true;
    for (const Action& action : script) {
        if (action.kind == "expect" && !machine.waitFor(action.value, 120)) {
            std::fprintf(stderr, "\n[vm: \"%s\" did not appear]\n", action.value.c_str());
            scriptOk = false;
            break;
        }
        if (action.kind == "send")
            machine.send(action.value);
        if (action.kind == "key" && !machine.sendKey(action.value))
            std::fprintf(stderr, "\n[vm: the monitor did not take %s]\n", action.value.c_str());
        if (action.kind == "sleep")
            usleep(static_cast<useconds_t>(std::atof(action.value.c_str()) * 1e6));
    }
    if (script.empty())
        relayTerminal(machine, options.timeLimit);
    bool ended = !interrupted && machine.wait(scriptOk ? options.timeLimit : 1);
    std::fprintf(stderr, "\n[vm: %s]\n",
                 ended ? machine.endDescription().c_str() : "stopping the machine");
    machine.stop();
    if (!toolLogFile.empty()) {
        if (FILE* file = std::fopen(toolLogFile.c_str(), "w")) {
            std::string log = machine.toolLog();
            std::fwrite(log.data(), 1, log.size(), file);
            std::fclose(file);
        }
    }
    if (!machine.emulatorLog().empty())
        std::fprintf(stderr, "[vm: the emulator said: %s]\n", machine.emulatorLog().c_str());
    return ended && scriptOk && !machine.timedOut() ? 0 : 1;
}
