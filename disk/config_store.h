#pragma once
// The old installation's configuration store, held in memory while the disk is repartitioned:
// one byte stream in a chain of blocks. Each entry is a NUL-terminated absolute path (always
// whole inside one block), the path's status record, and for a regular file its contents;
// status records and contents straddle blocks as needed.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

namespace installer {

constexpr uint32_t storeBlockMagic = 0x5a0937eb;
constexpr uint32_t storeBlockSize = 16000;

struct StoreBlock {
    uint32_t magic;    // storeBlockMagic while live, 0 once freed
    uint32_t capacity; // payload size while filling; data bytes held once closed
    uint32_t position; // bytes filled while filling; read position once closed
    StoreBlock* next;

    unsigned char* payload() { return reinterpret_cast<unsigned char*>(this + 1); }
    uint32_t room() const { return capacity - position; }
    // Ends the filling: from now on the block is read from its start.
    void close();
};

// Owns the chain; every block is freed with it. Memory is the only place the store lives, so
// it has a budget: a block that would take the chain past it is not allocated, and the
// operation that wanted it fails as if memory had run out.
class ConfigStore {
public:
    explicit ConfigStore(uint64_t budget) : budget(budget) {}
    ~ConfigStore();
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // Chains a new block of the given payload size after the last one, closing that one.
    StoreBlock* addBlock(uint32_t capacity);
    StoreBlock* first() { return head; }
    StoreBlock* last() { return tail; }
    // Bytes taken by the chain's blocks, headers included.
    uint64_t allocated() const { return used; }
    // Whether `bytes` more could still be held.
    bool fits(uint64_t bytes) const { return bytes <= budget - used; }

    // A path with its NUL; a new block of exactly that length when it does not fit.
    bool appendPath(const char* path);
    // Bytes split over the room left and as many new full-size blocks as needed.
    bool appendBytes(const void* data, size_t length);
    // Room in the last block to fill in place, a new full-size block when it is full.
    unsigned char* reserve(uint32_t& length);
    void commit(uint32_t length) { tail->position += length; }
    // The reading is complete: the last block is closed.
    void finish();

private:
    uint64_t budget;
    uint64_t used = 0;
    StoreBlock* head = nullptr;
    StoreBlock* tail = nullptr;
};

// Reads a closed chain back, entry by entry, advancing the blocks' read positions.
class StoreCursor {
public:
    explicit StoreCursor(ConfigStore& store) : block(store.first()) {}

    // Passes over exhausted blocks; true when nothing is left.
    bool atEnd();
    // The next path, in place, or null when the current block holds no whole one.
    const char* takePath();
    // Copies the next `length` bytes out; false when the stream ends first.
    bool take(void* out, size_t length);
    // Up to `limit` of the next bytes, in place; 0 when the stream has ended.
    size_t takeInPlace(const unsigned char*& data, size_t limit);

private:
    StoreBlock* block;
};

} // namespace installer
