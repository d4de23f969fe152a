// What the fuzz targets share: the input bytes as a FILE or a file name, a cursor that takes
// small fields from the front of an input, and a scratch world for the targets that write files.
//
// The scratch world: the process enters a user and mount namespace of its own whose "/" is a
// fresh tmpfs holding "/flash", "/ram/pdb" and "/scratch", with the host's programs and
// libraries bound read-only (the sanitizers' symbolizer needs them) and the directories the
// fuzzer writes its findings and corpus to bound at their own paths. Nothing the code under test
// does can reach this machine's files, and, the namespace being a user namespace, it cannot
// create device nodes either. After each run a target can ask whether anything appeared,
// vanished or changed outside the directory it gave the code as its root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace fuzz {

// A read-only stream over the bytes (an empty input reads as an empty stream). Close with fclose.
FILE* openBytes(const uint8_t* data, size_t size);

// A file holding the bytes, by name, valid until the next call: a memory file, so that stat and
// open see exactly the input.
const std::string& bytesAsFile(const uint8_t* data, size_t size);

// Small fields from the front of an input; past the end every field reads as zero.
class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : data(data), size(size) {}
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    // Up to `length` bytes (fewer at the end).
    std::string_view bytes(size_t length);
    std::string_view rest() { return bytes(size - at); }
    bool empty() const { return at >= size; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// What every target's LLVMFuzzerInitialize calls: gives up the capabilities to restart the
// machine and load modules, and with `scratchWorld` enters the scratch world below. Aborts when
// either fails, since the target must then not run.
void initialize(int argc, char** argv, bool scratchWorld);

// Enters the scratch world (once per process). `argv` are the fuzzer's arguments: every
// directory or file they name, and the folder of an artifact prefix, stay reachable and
// writable at their paths. False, with a message, when the namespaces cannot be set up; a
// target must then not run.
bool enterScratchWorld(int argc, char** argv);

// Removes everything below `path`, which stays; the scratch world as it is then is what
// outsideChanged compares with.
void clearDirectory(const char* path);

// True, with what differs in `what`, when the scratch world outside `root` (a top-level
// directory: "/flash" or "/scratch") is not as enterScratchWorld or the last clearDirectory
// left it.
bool outsideChanged(const char* root, std::string& what);

// Every object of the scratch world outside `skip` with its type, mode, size and time, one per
// line: two descriptions differ when anything there was made, deleted or changed.
std::string describeWorld(const char* skip);

} // namespace fuzz
