#pragma once
// Where disk preparation, the searches and the console touch the system: the tools they run, the
// one piped child, mount points, the target's mounts, the pauses between search passes, the
// alarm that drives the dot display and the keys typed at the console. Each call goes
// through the one object in use: the real system, unless a test has put a recording stand-in in
// its place (testbed/recording_system.h), so that the order of the steps and the waits are
// checked in-process, without root and without waiting.
#include <cstdio>
#include <initializer_list>
#include <sys/types.h>

namespace installer {

class SystemInterface {
public:
    virtual ~SystemInterface() = default;

    // What runTool, openToolOutput, openToolInput and closePipedChild (startup/child_process.h)
    // do, with the same arguments and results.
    virtual int runTool(const char* root, const char* program,
                        std::initializer_list<const char*> args) = 0;
    virtual FILE* openToolOutput(std::initializer_list<const char*> args) = 0;
    virtual FILE* openToolInput(std::initializer_list<const char*> args) = 0;
    virtual int closePipedChild(FILE* stream) = 0;

    // Makes the directory (a mount point); one that exists already is no error worth telling.
    virtual void makeDirectory(const char* path, mode_t mode) = 0;
    // Mounts source at target with no flags and no options; true when it is mounted.
    virtual bool mount(const char* source, const char* target, const char* type) = 0;
    virtual void unmount(const char* target) = 0;

    // Pauses like sleep(): a signal, such as the dot display's alarm, may end it early.
    virtual void pause(unsigned seconds) = 0;
    // Pauses for the whole time, whatever signals arrive meanwhile.
    virtual void pauseThrough(unsigned seconds) = 0;
    // Asks for SIGALRM in `seconds`, as alarm() does; 0 withdraws the request.
    virtual void scheduleAlarm(unsigned seconds) = 0;

    // One key typed at the console (standard input), unbuffered so that prompts never lose
    // typed-ahead keys to a stream buffer; -1 at end of input. Waits for it, through signals.
    virtual int readKey() = 0;
};

// The object in use.
SystemInterface& currentSystem();
// Puts standIn in place of the real system; null puts the real system back.
void useSystem(SystemInterface* standIn);

} // namespace installer
