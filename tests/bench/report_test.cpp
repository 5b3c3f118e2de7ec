// The benchmark's arithmetic and verdicts: a wrong percentile or a verdict
// that calls a miss "met" would publish figures nobody can trust.
#include "bench/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/stats.h"

namespace peerdir {
namespace bench {
namespace {

TEST(BenchStats, PercentilesAreNearestRankAndAlwaysMeasuredValues) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) samples.push_back(i);  // any order
    Spread spread = spreadOf(samples);
    EXPECT_EQ(spread.count, 100u);
    EXPECT_EQ(spread.p50, 50);
    EXPECT_EQ(spread.p90, 90);
    EXPECT_EQ(spread.p99, 99);
    EXPECT_EQ(spread.max, 100);

    // With few samples the high percentiles are the largest one, never an
    // interpolation below it.
    Spread few = spreadOf({3.0, 1.0, 2.0});
    EXPECT_EQ(few.p50, 2);
    EXPECT_EQ(few.p99, 3);

    Spread none = spreadOf({});
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.max, 0);
}

TEST(BenchReport, VerdictsMeetAtTheLimitMissBeyondItAndSayWhenAFigureIsMissing) {
    Figure p99 =
        withGoal(figure("introduction", "100 idle clients", "p99", 2.0, "ms"), Goal::AtMost, 2);
    EXPECT_EQ(verdictOf(p99), "met");
    p99.value = 2.001;
    EXPECT_EQ(verdictOf(p99), "MISSED");
    p99.value = std::nan("");
    EXPECT_EQ(verdictOf(p99), "no figure");

    Figure most = withGoal(figure("capacity", "", "most clients", 3000, ""), Goal::AtLeast, 4000);
    EXPECT_EQ(verdictOf(most), "MISSED");
    EXPECT_EQ(targetText(most), ">= 4000");
    EXPECT_EQ(verdictOf(figure("forwards", "1 sender", "forwards", 900, "/s")), "");
}

TEST(BenchReport, GroupingKeepsAreasInFirstSeenOrderAndFiguresInTheirOrder) {
    std::vector<Figure> mixed = {
        figure("idle CPU", "10", "a", 1, ""), figure("memory", "100", "b", 2, ""),
        figure("idle CPU", "500", "c", 3, ""), figure("memory", "1000", "d", 4, "")};
    std::string order;
    for (const Figure& f : groupedByArea(mixed)) order += f.quantity;
    EXPECT_EQ(order, "acbd");
}

TEST(BenchReport, CsvQuotesFieldsHoldingCommasOrQuotes) {
    std::string path = ::testing::TempDir() + "peerdir_bench_report_test.csv";
    Figure f = noted(figure("idle CPU", "10 idle clients", "server", 0.25, "cores"),
                     "saturated, \"mostly\"");
    ASSERT_TRUE(writeCsv(path, {f}));
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(),
              "area,setting,figure,value,unit,target,verdict,note\n"
              "idle CPU,10 idle clients,server,0.25,cores,,,\"saturated, \"\"mostly\"\"\"\n");
    std::remove(path.c_str());
}

}  // namespace
}  // namespace bench
}  // namespace peerdir
