// The table's arithmetic: a wrong median or an inverted ratio would turn a missed goal into a
// met one without anybody noticing, so these pin the direction of every kind of row.
#include "bench/report.h"

#include <gtest/gtest.h>

using namespace bench;

namespace {

Samples parse(const std::vector<std::string>& lines) {
    Samples samples;
    for (const std::string& line : lines)
        EXPECT_TRUE(addSampleLine(samples, line)) << line;
    return samples;
}

} // namespace

TEST(BenchReport, SampleLinesAndMedians) {
    Samples s = parse({"reader\tinflate\t3", "reader\tinflate\t1", "reader\tinflate\t100", "",
                       "reader\treader\t2", "reader\treader\t4", "note\tvm\tno VM here"});
    EXPECT_EQ(median(s.values["reader"]["inflate"]), 3); // an outlier does not move it
    EXPECT_EQ(median(s.values["reader"]["reader"]), 3);  // even count: middle two
    EXPECT_FALSE(median({}).has_value());
    EXPECT_EQ(s.notes["vm"], "no VM here");
    for (const char* bad : {"reader\tinflate", "reader\tinflate\t3x", "reader\t\t3",
                            "reader\tinflate\t", "a\tb\tc\td", "reader inflate 3"})
        EXPECT_FALSE(addSampleLine(s, bad)) << bad;
}

TEST(BenchReport, RatiosPointTheRightWay) {
    std::vector<Row> rows = {
        {"time", {"f", "a", "", "s"}, {"f", "b", "", "s"}, RatioKind::timeRatio, 0.8},
        {"share", {"f", "a", "", "s"}, {"f", "b", "", "s"}, RatioKind::timeShare, 0.85},
        {"rate", {"g", "a", "", "MB/s"}, {"g", "b", "", "MB/s"}, RatioKind::rateShare, 0.9},
        {"flat", {"m", "big", "", "KB"}, {"m", "small", "", "KB"}, RatioKind::flatMemory, 16384},
        {"grows", {"m", "huge", "", "KB"}, {"m", "small", "", "KB"}, RatioKind::flatMemory, 16384},
        {"absent", {"x", "a", "", "s"}, {"x", "b", "", "s"}, RatioKind::timeRatio, 1},
        {"no goal", {"f", "a", "", "s"}, {"f", "b", "", "s"}, RatioKind::timeRatio, 0},
    };
    Samples s = parse({"f\ta\t4", "f\tb\t5", "g\ta\t90", "g\tb\t100", "m\tbig\t3500",
                       "m\tsmall\t3000", "m\thuge\t9000", "note\tx\tno peer here"});
    std::vector<RowResult> r = evaluate(s, rows);
    ASSERT_EQ(r.size(), rows.size());
    // 4 s against 5 s: 0.8x the time, and 125% of the peer's throughput.
    EXPECT_DOUBLE_EQ(*r[0].ratio, 0.8);
    EXPECT_TRUE(*r[0].met);
    EXPECT_DOUBLE_EQ(*r[1].ratio, 1.25);
    EXPECT_TRUE(*r[1].met);
    EXPECT_DOUBLE_EQ(*r[2].ratio, 0.9);
    EXPECT_TRUE(*r[2].met);
    EXPECT_TRUE(*r[3].met);  // 0.5 MB more for the large package, below 16 MB
    EXPECT_FALSE(*r[4].met); // below 16 MB, but it follows the package's size
    EXPECT_FALSE(r[5].met.has_value());
    EXPECT_FALSE(r[5].measured);
    EXPECT_EQ(r[5].note, "no peer here");
    EXPECT_TRUE(r[6].measured); // a ratio, but nothing to meet
    EXPECT_FALSE(r[6].met.has_value());
    EXPECT_NE(formatTable(r, "", "full").find("no peer here"), std::string::npos);

    s = parse({"f\ta\t6", "f\tb\t5", "g\ta\t80", "g\tb\t100"});
    r = evaluate(s, rows);
    EXPECT_FALSE(*r[0].met);
    EXPECT_FALSE(*r[1].met);
    EXPECT_FALSE(*r[2].met);
    EXPECT_EQ(r[3].note, "not measured");

    nlohmann::json j = toJson(r, s, "test machine", "quick");
    EXPECT_EQ(j["table"][0]["ratio"], 1.2);
    EXPECT_EQ(j["table"][3]["met"], nullptr);
    EXPECT_EQ(j["samples"]["g"]["b"][0], 100);
}
