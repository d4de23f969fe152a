#include "disk/config_store.h"

#include <cstdlib>
#include <cstring>

namespace installer {

void StoreBlock::close() {
    capacity = position;
    position = 0;
}

ConfigStore::~ConfigStore() {
    while (head) {
        StoreBlock* next = head->next;
        head->magic = 0;
        std::free(head);
        head = next;
    }
}

StoreBlock* ConfigStore::addBlock(uint32_t capacity) {
    uint64_t size = sizeof(StoreBlock) + uint64_t(capacity);
    if (!fits(size))
        return nullptr;
    auto* block = static_cast<StoreBlock*>(std::malloc(size));
    if (!block)
        return nullptr;
    *block = {storeBlockMagic, capacity, 0, nullptr};
    used += size;
    if (tail) {
        tail->close();
        tail->next = block;
    } else {
        head = block;
    }
    tail = block;
    return block;
}

bool ConfigStore::appendPath(const char* path) {
    size_t length = std::strlen(path) + 1;
    if (length > UINT32_MAX)
        return false;
    if (!tail || tail->room() < length) {
        if (!addBlock(uint32_t(length)))
            return false;
    }
    std::memcpy(tail->payload() + tail->position, path, length);
    tail->position += uint32_t(length);
    return true;
}

unsigned char* ConfigStore::reserve(uint32_t& length) {
    if ((!tail || tail->room() == 0) && !addBlock(storeBlockSize))
        return nullptr;
    length = tail->room();
    return tail->payload() + tail->position;
}

bool ConfigStore::appendBytes(const void* data, size_t length) {
    auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        uint32_t room = 0;
        unsigned char* place = reserve(room);
        if (!place)
            return false;
        uint32_t part = length < room ? uint32_t(length) : room;
        std::memcpy(place, bytes, part);
        commit(part);
        bytes += part;
        length -= part;
    }
    return true;
}

void ConfigStore::finish() {
    if (tail)
        tail->close();
}

bool StoreCursor::atEnd() {
    while (block && block->position == block->capacity)
        block = block->next;
    return !block;
}

const char* StoreCursor::takePath() {
    if (atEnd())
        return nullptr;
    auto* start = reinterpret_cast<const char*>(block->payload() + block->position);
    const void* end = std::memchr(start, '\0', block->capacity - block->position);
    if (!end)
        return nullptr;
    block->position += uint32_t(static_cast<const char*>(end) - start + 1);
    return start;
}

size_t StoreCursor::takeInPlace(const unsigned char*& data, size_t limit) {
    if (limit == 0 || atEnd())
        return 0;
    size_t part = block->capacity - block->position;
    if (part > limit)
        part = limit;
    data = block->payload() + block->position;
    block->position += uint32_t(part);
    return part;
}

bool StoreCursor::take(void* out, size_t length) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (length > 0) {
        const unsigned char* data = nullptr;
        size_t part = takeInPlace(data, length);
        if (part == 0)
            return false;
        std::memcpy(bytes, data, part);
        bytes += part;
        length -= part;
    }
    return true;
}

} // namespace installer
