#pragma once
// A stand-in for the system (startup/system_interface.h) that runs nothing: it writes down every
// call as one line of `steps`, answers from a script, types the scripted `keys` at the console,
// and keeps a virtual clock that pauses advance at once, delivering the alarm (SIGALRM, to the
// calling thread) when its second comes. While it lives it is the system in use; its end puts
// the real one back.
//
// Steps read as the installer's work on a disk:
//   "sfdisk -g"                     the partitioning tool started for its output
//   "sfdisk -q -uC /dev/sda >null"  ... started for its input
//   "run /sbin/mke2fs -j /dev/sda1" a tool run to completion ("run [root] program args")
//   "mkdir /flash/boot", "mount /dev/sda2 /flash ext3", "umount /flash", "pause 1",
//   "pause-through 1"
// Mounts fail unless listed in `mountable`, so nothing a test drives goes on to write below
// a mount point of this machine.
#include "startup/system_interface.h"

#include <map>
#include <set>
#include <string>
#include <vector>

class RecordingSystem : public installer::SystemInterface {
public:
    RecordingSystem();
    ~RecordingSystem() override;
    RecordingSystem(const RecordingSystem&) = delete;
    RecordingSystem& operator=(const RecordingSystem&) = delete;

    // The script, keyed by the step's line without its first word ("-g", "/sbin/mke2fs -j
    // /dev/sda1"): what the partitioning tool prints, and the raw wait status a tool ends with
    // (0 when not listed; 127 << 8 is a tool that never ran).
    std::map<std::string, std::string> toolOutput;
    std::map<std::string, int> waitStatus;
    // "device target type" of every mount that succeeds.
    std::set<std::string> mountable;
    // Lines printed by the tool after `listingsBeforeOutput` calls with no output at all (a
    // disk that shows up late).
    int listingsBeforeOutput = 0;

    std::vector<std::string> steps;
    // What was written to the partitioning tool's input, call by call.
    std::vector<std::string> toolInput;
    unsigned long seconds = 0; // the virtual clock
    // What the console is typed, key by key; after the last one it is at end of input.
    std::string keys;

    int runTool(const char* root, const char* program,
                std::initializer_list<const char*> args) override;
    FILE* openToolOutput(std::initializer_list<const char*> args) override;
    FILE* openToolInput(std::initializer_list<const char*> args) override;
    int closePipedChild(FILE* stream) override;
    void makeDirectory(const char* path, mode_t mode) override;
    bool mount(const char* source, const char* target, const char* type) override;
    void unmount(const char* target) override;
    void pause(unsigned seconds) override;
    void pauseThrough(unsigned seconds) override;
    void scheduleAlarm(unsigned seconds) override;
    int readKey() override;

    // Lets virtual time pass, second by second, as a pause does without being written down.
    void advance(unsigned seconds);

    // The steps as one text, a line each.
    std::string stepText() const;

private:
    int statusOf(const std::string& call) const;

    FILE* piped = nullptr; // the one piped child's stream, as with the real system
    std::string pipedCall;
    bool pipedIsInput = false;
    char* inputBuffer = nullptr;
    size_t inputSize = 0;
    std::string outputText;
    int outputCalls = 0;
    size_t keysRead = 0;
    volatile unsigned long alarmAt = 0; // 0: none asked; set again by the dot display's handler
};
