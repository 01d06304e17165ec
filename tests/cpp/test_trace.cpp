// Search trace: merging, thinning and the keep flag.
#include <gtest/gtest.h>

#include <cmath>

#include "exact/trace.hpp"

namespace morvel::exact {
namespace {

TEST(Trace, SameNodeCountMergesKeepingLaterValuesAndOrOfKeep) {
  Trace t;
  t.record(4, 2.0, true, 1.0);
  t.record(4, 1.5, false, 1.25);
  ASSERT_EQ(t.samples().size(), 1u);
  EXPECT_EQ(t.samples()[0].incumbent, 1.5);
  EXPECT_EQ(t.samples()[0].lower, 1.25);
  EXPECT_EQ(t.keep_flags()[0], 1);
}

TEST(Trace, ThinsUnflaggedSamplesToEveryOtherOnOverflow) {
  Trace t;
  for (std::uint64_t i = 1; i <= 256; ++i) t.record(i, std::nan(""), false, 0.0);
  ASSERT_EQ(t.samples().size(), 256u);
  t.record(1000, 1.0, false, 0.0);
  // 256 unflagged samples halve to 128 (nodes 1, 3, 5, ...), then the new one is appended.
  ASSERT_EQ(t.samples().size(), 129u);
  EXPECT_EQ(t.samples()[0].nodes, 1u);
  EXPECT_EQ(t.samples()[1].nodes, 3u);
  EXPECT_EQ(t.samples()[127].nodes, 255u);
  EXPECT_EQ(t.samples().back().nodes, 1000u);
  EXPECT_EQ(t.samples().back().has_incumbent, 1u);
  EXPECT_EQ(t.samples()[0].has_incumbent, 0u);
}

TEST(Trace, FlaggedSamplesSurviveThinningAndDoNotShiftTheAlternation) {
  Trace t;
  for (std::uint64_t i = 1; i <= 256; ++i) t.record(i, 1.0, i == 2 || i == 3, 0.0);
  t.record(300, 1.0, false, 0.0);
  // Unflagged: 1, 4, 5, 6, ... -> kept 1, 5, 7, ...; flagged 2 and 3 always stay.
  const auto& s = t.samples();
  ASSERT_GE(s.size(), 5u);
  EXPECT_EQ(s[0].nodes, 1u);
  EXPECT_EQ(s[1].nodes, 2u);
  EXPECT_EQ(s[2].nodes, 3u);
  EXPECT_EQ(s[3].nodes, 5u);
  EXPECT_EQ(s[4].nodes, 7u);
  EXPECT_EQ(s.size(), 2u + 127u + 1u);
}

}  // namespace
}  // namespace morvel::exact
