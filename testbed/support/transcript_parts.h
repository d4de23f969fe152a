#pragma once
// What a console transcript must and must not show, checked in one call: each missing or
// unwanted part is reported with the whole text.
#include "testbed/support/text_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline void expectParts(const std::string& text, const std::vector<std::string>& seen,
                        const std::vector<std::string>& unseen = {}) {
    for (const std::string& part : seen)
        EXPECT_TRUE(contains(text, part)) << "missing: " << part << "\nin:\n" << text;
    for (const std::string& part : unseen)
        EXPECT_FALSE(contains(text, part)) << "unwanted: " << part << "\nin:\n" << text;
}
