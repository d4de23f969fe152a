// Test helper: package and bundle files signed with the development key, as `rpx build` and
// `rpx sign` make them, and a repository console kept in memory.
#pragma once

#include "package/package.h"
#include "package/record_test_support.h"
#include "package/sha1.h"
#include "repository/repository.h"
#include "tools/rpx/signer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace streamtest {

using namespace installer;
using testpkg::Draft;

inline const uint8_t* developmentKey() {
    static uint8_t key[32];
    static bool loaded = [] {
        std::string error;
        bool ok = readKeyFile(DEV_SECRET_KEY, key, error);
        if (!ok)
            ADD_FAILURE() << error;
        return ok;
    }();
    (void)loaded;
    return key;
}

// The package's parts followed by its signature part.
inline std::string signedParts(const std::string& parts) {
    std::string header = partHeaderBytes(partSignature, 68);
    Sha1 hash;
    hash.update(parts.data(), parts.size());
    hash.update(header.data(), header.size());
    uint8_t digest[20], body[68];
    hash.finish(digest);
    EXPECT_TRUE(signDigest(developmentKey(), digest, body));
    return parts + header + std::string(reinterpret_cast<char*>(body), sizeof body);
}

inline std::string signedFile(const Draft& draft, uint32_t magic = packageMagic) {
    return packageFileBytes(signedParts(draft.parts()), magic);
}

struct BundleSpec {
    std::string name = "base";
    uint32_t version = makeVersion(1, 0, 'f', 0);
    std::vector<std::string> optional; // the member list
    std::vector<Draft> members;
    std::string architecture;

    std::string file() const {
        std::string parts = partBytes(partBundleHeader, headerBodyBytes({name, version, 5}));
        if (!architecture.empty())
            parts += partBytes(partArchitecture, architecture);
        if (!optional.empty()) {
            std::vector<RequirementRecord> list;
            for (const std::string& entry : optional)
                list.push_back({entry, 0, 0, 0});
            parts += partBytes(partMembers, requirementListBytes(list));
        }
        for (const Draft& member : members)
            parts += signedParts(member.parts());
        return packageFileBytes(parts);
    }
};

// The package's parts with another build time in its header.
inline std::string withBuildTime(const Draft& draft, uint32_t buildTime) {
    std::string header =
        partBytes(partHeader, headerBodyBytes({draft.name, draft.version, buildTime}));
    return header + draft.parts().substr(header.size());
}

// A package of one regular file "/NAME/file" holding `content`.
inline Draft simple(const std::string& name, uint32_t version = makeVersion(1, 0, 'f', 0),
                   const std::string& content = "data") {
    Draft draft;
    draft.name = name;
    draft.version = version;
    draft.entries = {testpkg::directory(name), testpkg::regular(name + "/file", content)};
    return draft;
}

// Console text as the screen ends up showing it: status-line updates (ended by a carriage
// return, the cursor shown again) are dropped, message lines kept.
inline std::string messageLines(const std::string& all) {
    std::string out;
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = all.substr(at, end - at);
        size_t cut = line.rfind('\r');
        std::string message = cut == std::string::npos ? line : line.substr(cut + 1);
        if (message.starts_with("\033[?25h"))
            message.erase(0, 6);
        out += message + "\n";
    }
    return out;
}

// The repository's console in memory.
struct Console {
    explicit Console(Repository& repository) : repository(repository) {
        stream = open_memstream(&buffer, &size);
        repository.setConsole(stream);
    }
    ~Console() {
        repository.setConsole(stdout);
        std::fclose(stream);
        std::free(buffer);
    }
    std::string messages() {
        std::fflush(stream);
        return messageLines(std::string(buffer, size));
    }
    Repository& repository;
    std::FILE* stream;
    char* buffer = nullptr;
    size_t size = 0;
};

} // namespace streamtest
