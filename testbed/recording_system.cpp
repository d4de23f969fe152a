#include "testbed/recording_system.h"

#include <csignal>
#include <cstdlib>

using namespace installer;

namespace {

// The arguments as the tool would see them: ">null" is the caller's redirection, not one.
std::string joined(std::initializer_list<const char*> args) {
    std::string text;
    for (const char* argument : args) {
        if (!argument)
            break;
        if (!text.empty())
            text += ' ';
        text += argument;
    }
    return text;
}

} // namespace

RecordingSystem::RecordingSystem() {
    useSystem(this);
}

RecordingSystem::~RecordingSystem() {
    if (piped)
        closePipedChild(piped);
    useSystem(nullptr);
}

int RecordingSystem::statusOf(const std::string& call) const {
    auto found = waitStatus.find(call);
    return found == waitStatus.end() ? 0 : found->second;
}

int RecordingSystem::runTool(const char* root, const char* program,
                             std::initializer_list<const char*> args) {
    std::string call = program;
    if (args.size() > 0)
        call += ' ' + joined(args);
    steps.push_back("run " + (root ? std::string(root) + ' ' : std::string()) + call);
    return statusOf(call);
}

FILE* RecordingSystem::openToolOutput(std::initializer_list<const char*> args) {
    if (piped)
        return nullptr;
    pipedCall = joined(args);
    steps.push_back("sfdisk " + pipedCall);
    auto found = toolOutput.find(pipedCall);
    outputText = found == toolOutput.end() || outputCalls++ < listingsBeforeOutput ? std::string()
                                                                                   : found->second;
    // Not every C library opens an empty buffer with fmemopen: no output reads as /dev/null.
    piped = outputText.empty() ? fopen("/dev/null", "r")
                               : fmemopen(outputText.data(), outputText.size(), "r");
    pipedIsInput = false;
    return piped;
}

FILE* RecordingSystem::openToolInput(std::initializer_list<const char*> args) {
    if (piped)
        return nullptr;
    pipedCall = joined(args);
    steps.push_back("sfdisk " + pipedCall);
    piped = open_memstream(&inputBuffer, &inputSize);
    pipedIsInput = true;
    // The tool's verdict is keyed without the redirection.
    std::string key = pipedCall;
    if (size_t at = key.find(" >null"); at != std::string::npos)
        key.erase(at);
    pipedCall = key;
    return piped;
}

int RecordingSystem::closePipedChild(FILE* stream) {
    if (!piped || stream != piped)
        return -1;
    fclose(piped);
    piped = nullptr;
    if (pipedIsInput) {
        toolInput.emplace_back(inputBuffer ? inputBuffer : "", inputSize);
        std::free(inputBuffer);
        inputBuffer = nullptr;
        inputSize = 0;
    }
    return statusOf(pipedCall);
}

void RecordingSystem::makeDirectory(const char* path, mode_t) {
    steps.push_back(std::string("mkdir ") + path);
}

bool RecordingSystem::mount(const char* source, const char* target, const char* type) {
    std::string what = std::string(source) + ' ' + target + ' ' + type;
    steps.push_back("mount " + what);
    return mountable.count(what) != 0;
}

void RecordingSystem::unmount(const char* target) {
    steps.push_back(std::string("umount ") + target);
}

void RecordingSystem::pause(unsigned count) {
    steps.push_back("pause " + std::to_string(count));
    advance(count);
}

void RecordingSystem::pauseThrough(unsigned count) {
    steps.push_back("pause-through " + std::to_string(count));
    advance(count);
}

void RecordingSystem::scheduleAlarm(unsigned count) {
    alarmAt = count == 0 ? 0 : seconds + count;
}

int RecordingSystem::readKey() {
    return keysRead < keys.size() ? static_cast<unsigned char>(keys[keysRead++]) : -1;
}

void RecordingSystem::advance(unsigned count) {
    for (unsigned n = 0; n < count; ++n) {
        ++seconds;
        if (alarmAt != 0 && seconds >= alarmAt) {
            alarmAt = 0;
            raise(SIGALRM);
        }
    }
}

std::string RecordingSystem::stepText() const {
    std::string text;
    for (const std::string& step : steps)
        text += step + '\n';
    return text;
}
