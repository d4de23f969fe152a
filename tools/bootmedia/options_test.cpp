#include "tools/bootmedia/options.h"

#include <gtest/gtest.h>

using namespace bootmedia;

TEST(Options, Sizes) {
    unsigned long long bytes = 0;
    ASSERT_TRUE(parseSize("512M", bytes));
    EXPECT_EQ(bytes, 512ull << 20);
    ASSERT_TRUE(parseSize("2G", bytes));
    EXPECT_EQ(bytes, 2ull << 30);
    ASSERT_TRUE(parseSize("4096", bytes));
    EXPECT_EQ(bytes, 4096u);
    for (const char* bad : {"", "M", "12MB", "1.5G", "-1", "99999999999999999999", "17179869184G"})
        EXPECT_FALSE(parseSize(bad, bytes)) << bad;
}
