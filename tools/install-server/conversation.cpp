#include "tools/install-server/conversation.h"

#include <unistd.h>

#include <cstdio>

namespace iserver {

const char* phaseName(Phase phase) {
    switch (phase) {
    case Phase::drivers:
        return "drivers";
    case Phase::offered:
        return "offered";
    case Phase::preparing:
        return "preparing disk";
    case Phase::sending:
        return "sending";
    case Phase::farewell:
        return "farewell";
    case Phase::done:
        return "done";
    case Phase::failed:
        return "failed";
    }
    return "?";
}

long DescriptorSource::read(const ServedFile& file, uint64_t offset, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(file.fd, data + done, size - done, off_t(offset + done));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return long(done);
}

Sha256::Sha256() : context(EVP_MD_CTX_new()) {
    reset();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context);
}

void Sha256::reset() {
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
}

void Sha256::update(const uint8_t* data, size_t size) {
    EVP_DigestUpdate(context, data, size);
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    reset();
    return hex;
}

std::string Machine::phaseText() const {
    if (lost)
        return "lost";
    if (phase == Phase::sending) {
        size_t count = conversation.files.size();
        size_t k = conversation.index < count ? conversation.index + 1 : count;
        return "file " + std::to_string(k) + " of " + std::to_string(count);
    }
    return phaseName(phase);
}

bool Machine::busy() const {
    if (settled())
        return false;
    if (phase == Phase::drivers)
        return conversation.kind == Conversation::Kind::driver && !driversComplete;
    return true;
}

} // namespace iserver
