#pragma once
#include <initializer_list>

namespace installer {

// The system-facing steps of start-up as the boot image's init. Failures are ignored unless a
// step says otherwise: none of them may keep the installer from reaching its dialogue.

// /proc, /sys (created), /flash and /ram.
void mountKernelFileSystems();
// Keeps the inherited streams when /dev/tty0 opens; otherwise moves the dialogue to
// /dev/ttyS0 and sends tool output to /dev/null. True for the serial console.
bool chooseConsole();
// Makes the console on standard input the controlling terminal of a new session led by this
// process, so that Ctrl-C on it raises the interrupt signal. False when the terminal refuses.
bool takeConsoleAsControllingTerminal();
// Interrupt: the abort handler; broken pipe: ignored; child exit: default, restarting calls.
void installStartupSignals();
// The front panel named by sysDevFile ("major:minor"), as a node at nodePath; its descriptor,
// or -1. A malformed file is reported, a missing one is not.
int openFrontPanel(const char* sysDevFile = "/sys/class/misc/lcd/dev",
                   const char* nodePath = "/dev/lcd");
// Reads the mode text of /TYPE into text (80 bytes).
void readInstallType(char* text, const char* path = "/TYPE");
// The empty marker path (mode 0600) the installed system looks for.
void createMarkerFile(const char* path);
// Unmounts each path in order, ignoring failures.
void unmountAll(std::initializer_list<const char*> paths);
// Asks the kernel to restart the machine; returns only when that is refused.
void restartMachine();
// The interrupt handler: until installFinished, abandons the installation and restarts.
void abortInstallation(int);
// What follows the flow: the licence marker, the unmounts, installFinished (an interrupt from
// here on changes nothing), the ENTER wait after a failure, and the restart. Returns only when
// the restart is refused.
void endInstallation(bool failed);

} // namespace installer
