#include "tools/bootmedia/options.h"

#include <gtest/gtest.h>

using namespace bootmedia;

TEST(Options, ValuesFlagsRepeatsAndTheirErrors) {
    const std::vector<OptionRule> rules = {
        {"output", true}, {"serial", false}, {"add", true, true}};
    Options options;
    std::string error;
    ASSERT_TRUE(
        parseOptions({"--output", "a.iso", "--serial", "--add=x:/y", "--add", "z:/w", "system.rpx"},
                     rules, options, error))
        << error;
    EXPECT_EQ(options.get("output"), "a.iso");
    EXPECT_TRUE(options.has("serial"));
    EXPECT_EQ(options.values["add"], (std::vector<std::string>{"x:/y", "z:/w"}));
    EXPECT_EQ(options.arguments, (std::vector<std::string>{"system.rpx"}));
    EXPECT_EQ(options.get("missing", "fallback"), "fallback");

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    for (const Bad& bad :
         {Bad{{"--size", "1G"}, "unknown option --size"}, Bad{{"-o", "x"}, "unknown option -o"},
          Bad{{"--output"}, "--output needs a value"},
          Bad{{"--serial=yes"}, "--serial takes no value"},
          Bad{{"--output", "a", "--output", "b"}, "--output is given twice"}}) {
        Options parsed;
        EXPECT_FALSE(parseOptions(bad.args, rules, parsed, error));
        EXPECT_EQ(error, bad.message);
    }
}

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
