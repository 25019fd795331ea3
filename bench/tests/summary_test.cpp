// The summary's judgement of goals and what it prints.
#include "bench/summary.h"

#include <gtest/gtest.h>

#include <sstream>

#include "bench/paired_timing.h"

namespace bench {
namespace {

struct GoalCase {
  double ours;
  double reference;
  Goal goal;
  bool missed;
};

void PrintTo(const GoalCase& c, std::ostream* out) {
  *out << c.ours << " against " << c.reference << ", goal kind " << int(c.goal.kind) << " " << c.goal.value;
}

class SummaryGoal : public ::testing::TestWithParam<GoalCase> {};

TEST_P(SummaryGoal, JudgesTheRatioOrTheValue) {
  const GoalCase& c = GetParam();
  Summary summary;
  summary.addCount("row", c.ours, c.reference, c.goal);
  EXPECT_EQ(summary.missedGoals(), c.missed ? 1 : 0);
  std::ostringstream out;
  summary.print(out);
  EXPECT_EQ(out.str().find(" NO ") != std::string::npos, c.missed) << out.str();
}

INSTANTIATE_TEST_SUITE_P(
    Goals, SummaryGoal,
    ::testing::Values(GoalCase{95, 100, {GoalKind::AtLeast, 0.95}, false},
                      GoalCase{94.9, 100, {GoalKind::AtLeast, 0.95}, true},
                      GoalCase{110, 100, {GoalKind::AtMost, 1.10}, false},
                      GoalCase{111, 100, {GoalKind::AtMost, 1.10}, true},
                      GoalCase{19, 19, {GoalKind::Equal}, false}, GoalCase{20, 19, {GoalKind::Equal}, true},
                      GoalCase{0, 17, {GoalKind::Zero}, false}, GoalCase{2, 17, {GoalKind::Zero}, true},
                      GoalCase{500, 1, {}, false}));

TEST(Summary, LeavesOutTimedRowsWhoseBenchmarkDidNotRunAndTheirEmptyHeading) {
  Summary summary;
  summary.addSection("Heading without rows");
  summary.addTimed("never timed", Measure::TimePerCall, "no/such/pair", {GoalKind::AtMost, 1.10});
  summary.addSection("Counts");
  summary.addCount("counted", 3, 3, {GoalKind::Equal});
  std::ostringstream out;
  summary.print(out);
  EXPECT_EQ(out.str().find("never timed"), std::string::npos);
  EXPECT_EQ(out.str().find("Heading without rows"), std::string::npos);
  EXPECT_NE(out.str().find("Counts"), std::string::npos);
  EXPECT_NE(out.str().find("counted"), std::string::npos);
  EXPECT_EQ(summary.missedGoals(), 0);
}

TEST(Median, OfOddAndEvenCounts) {
  EXPECT_EQ(median({3, 1, 2}), 2);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(median({7}), 7);
  EXPECT_EQ(median({}), 0);
}

}  // namespace
}  // namespace bench
