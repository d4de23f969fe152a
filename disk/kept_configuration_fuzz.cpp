// The write-back of a kept configuration on arbitrary stores, into the "/flash" of the fuzz
// scratch world (testbed/fuzz_support.h). The write-back trusts only what readTree made, yet
// whatever the store holds and whatever links the new file system already has, nothing outside
// /flash may appear, vanish or change.
//
// Input: a flag byte, then either the store's bytes as they are (raw: block lengths taken from
// the input, so paths, status records and contents fall anywhere) or a list of entries
// (structured: a type, a path with or without "/flash/" in front, permissions, a size that may
// lie, contents). Flags: raw, links out of /flash in place first, a status record of a file
// whose size is not what follows.
#include "disk/config_store.h"
#include "disk/kept_configuration.h"
#include "testbed/fuzz_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace installer;

namespace {

// Links a new file system cannot hold, but the write-back must not follow if it did.
void populate() {
    symlink("/", "/flash/top");
    symlink("..", "/flash/up");
    symlink("/outside/decoy", "/flash/decoy");
    symlink("../outside/dir", "/flash/out");
    mkdir("/flash/etc", 0755);
    symlink("../../outside", "/flash/etc/deep");
}

void rawStore(ConfigStore& store, fuzz::Cursor& cursor) {
    while (!cursor.empty()) {
        uint32_t length = cursor.u16() % (storeBlockSize + 1);
        std::string_view bytes = cursor.bytes(length);
        StoreBlock* block = store.addBlock(uint32_t(bytes.size()));
        if (!block)
            return;
        std::memcpy(block->payload(), bytes.data(), bytes.size());
        block->position = uint32_t(bytes.size());
    }
}

void structuredStore(ConfigStore& store, fuzz::Cursor& cursor, bool lying) {
    store.addBlock(storeBlockSize);
    int entries = 0;
    while (!cursor.empty() && ++entries <= 64) {
        uint8_t kind = cursor.byte();
        std::string path = kind & 0x80 ? "/flash/" : "";
        path += cursor.bytes(cursor.byte() & 0x3f);
        struct stat status {};
        static const mode_t types[] = {S_IFREG, S_IFDIR, S_IFLNK, S_IFIFO};
        status.st_mode = types[kind & 3] | (cursor.u16() & 07777);
        status.st_uid = kind & 0x40 ? cursor.u16() : 0;
        status.st_gid = 0;
        status.st_mtim.tv_sec = cursor.u32();
        std::string_view contents;
        if (S_ISREG(status.st_mode))
            contents = cursor.bytes(cursor.u16() & 0x3fff);
        status.st_size = off_t(contents.size());
        if (lying && kind & 0x20)
            status.st_size = off_t(int32_t(cursor.u32()));
        if (!store.appendPath(path.c_str()) || !store.appendBytes(&status, sizeof status) ||
            !store.appendBytes(contents.data(), contents.size()))
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(*argc, *argv, true);
    // Its messages go nowhere.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, 1) < 0)
        std::abort();
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Cursor cursor(data, size);
    uint8_t flags = cursor.byte();
    if (flags & 2)
        populate();
    auto store = std::make_unique<ConfigStore>(64u << 20);
    if (flags & 1)
        rawStore(*store, cursor);
    else
        structuredStore(*store, cursor, flags & 4);
    store->finish();

    // The progress dots take the alarm signal and its timer, which libFuzzer watches the run
    // with: both come back afterwards.
    struct sigaction alarmAction {};
    itimerval timer{};
    sigaction(SIGALRM, nullptr, &alarmAction);
    getitimer(ITIMER_REAL, &timer);
    writeBackConfiguration(std::move(store));
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &alarmAction, nullptr);

    std::string what;
    if (fuzz::outsideChanged("/flash", what)) {
        std::fprintf(stderr, "write-back reached outside /flash:\n%s", what.c_str());
        std::abort();
    }
    fuzz::clearDirectory("/flash");
    return 0;
}
