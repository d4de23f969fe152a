// vm: starts the virtual PC of the tests by hand (a kernel and boot image, or a boot medium),
// with the serial console on this terminal or driven by a small script. See testbed/README.md.
#include "testbed/console_script.h"
#include "testbed/isolation.h"
#include "testbed/support/text_files.h"
#include "testbed/vm.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t interrupted = 0;

void endRun(int) {
    interrupted = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (!dropRestartAndModuleCapabilities()) {
        std::fprintf(stderr, "vm: cannot give up CAP_SYS_BOOT and CAP_SYS_MODULE\n");
        return 2;
    }
    CLI::App app{"Starts the virtual PC of the tests by hand.", "vm"};
    VmOptions options;
    options.timeLimit = 600;
    std::vector<std::string> disks;
    std::string toolLogFile;
    app.add_option("--kernel", options.kernel,
                   "Kernel loaded directly (with --initrd, the boot image)");
    app.add_option("--initrd", options.initrd, "Boot image (gzip'd newc archive)");
    app.add_option("--append", options.append,
                   "More kernel command line (panic=-1 and the console are given)");
    app.add_option("--boot", options.bootFrom,
                   "Start from the CD-ROM or the first disk through the BIOS")
        ->check(CLI::IsMember({"cdrom", "disk"}));
    app.add_option("--disk", disks, "Hard disk image, in order /dev/sda, /dev/sdb...")
        ->type_name("IMAGE");
    app.add_option("--cdrom", options.cdrom, "CD-ROM image (/dev/sr0)")->type_name("ISO");
    app.add_option("--floppy", options.floppy, "Floppy image (/dev/fd0)")->type_name("IMAGE");
    app.add_option("--netns", options.networkNamespace,
                   "Run inside this network namespace, with the NIC on --tap");
    app.add_option("--tap", options.tap, "Tap device in that namespace for an e1000 card");
    app.add_option("--memory", options.memoryMiB, "Memory in MiB")->capture_default_str();
    app.add_flag("--vt", options.vtConsole,
                 "Kernel console and dialogue on the VT too (monitor keys reach it)");
    app.add_flag("--bios-serial", options.biosOnSerial, "The BIOS screen on the serial console");
    app.add_option("--tool-log", toolLogFile, "Save the second serial line (the tool log)");
    app.add_option("--timeout", options.timeLimit, "Kill the machine after this long")
        ->capture_default_str();
    addConsoleScriptOptions(app, true, 120);
    if (int status = hosttools::parseCommandLine(app, argc, argv); status >= 0)
        return status;
    options.disks.assign(disks.begin(), disks.end());
    std::vector<ConsoleStep> script = consoleScript(app);
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
    ConsoleDriver run{
        [&](const std::string& text, double seconds) { return machine.waitFor(text, seconds); },
        [&](const std::string& keys) { machine.send(keys); },
        [&](const std::string& keys) { return machine.sendKey(keys); },
        [&] { return machine.running(); }};
    bool scriptOk = runConsoleScript(script, run, 120, "vm");
    // Ctrl-] leaves, as Ctrl-C has to reach the machine.
    if (script.empty())
        relayTerminal(run, options.timeLimit,
                      "[vm: your keys go to the serial console; Ctrl-] ends]", '\x1d',
                      &interrupted);
    bool ended = !interrupted && machine.wait(scriptOk ? options.timeLimit : 1);
    std::fprintf(stderr, "\n[vm: %s]\n",
                 ended ? machine.endDescription().c_str() : "stopping the machine");
    machine.stop();
    if (!toolLogFile.empty())
        writeFile(toolLogFile, machine.toolLog());
    if (!machine.emulatorLog().empty())
        std::fprintf(stderr, "[vm: the emulator said: %s]\n", machine.emulatorLog().c_str());
    return ended && scriptOk && !machine.timedOut() ? 0 : 1;
}
