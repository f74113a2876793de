// The benchmark's statistics and synthetic signal.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

#include "bench/BenchSupport.h"

using namespace bench;

TEST(BenchStats, NearestRankPercentilesOfAnUnsortedSet) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);  // 1..100, reversed
  const TStats s = Summarize(v);
  EXPECT_EQ(s.Samples, 100);
  EXPECT_DOUBLE_EQ(s.Median, 50);
  EXPECT_DOUBLE_EQ(s.P95, 95);
  EXPECT_DOUBLE_EQ(s.Max, 100);
  EXPECT_DOUBLE_EQ(s.Mean, 50.5);
  // Few samples: the 95th percentile of five is the largest.
  const TStats few = Summarize({3, 1, 2, 5, 4});
  EXPECT_DOUBLE_EQ(few.Median, 3);
  EXPECT_DOUBLE_EQ(few.P95, 5);
  EXPECT_EQ(Summarize({}).Samples, 0);
  EXPECT_EQ(Ratio(10, 0), "-");
  EXPECT_EQ(Ratio(500, 2), "250x");
}

TEST(BenchSignal, SpikesOfTenSigmaEveryFiftyThousandValuesAndABoundedWalk) {
  TSignal sig(5, 0.5);
  int spikes = 0;
  double lo = 1e9, hi = -1e9;
  for (int i = 1; i <= 200000; ++i) {
    bool spike = false;
    const double v = sig.Next(i % 3, 100.0, &spike);
    EXPECT_EQ(spike, i % 50000 == 0) << i;
    if (spike) {
      ++spikes;
      EXPECT_GT(v, 100.0 + 4.0);  // 5 degrees above a walk of a few tenths
    } else {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  EXPECT_EQ(spikes, 4);
  EXPECT_EQ(sig.Produced(), 200000);
  // The walk is pulled back to the centre: the curve stays drawable.
  EXPECT_GT(lo, 90.0);
  EXPECT_LT(hi, 110.0);
  // The same seed gives the same stream.
  TSignal a(9), b(9);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(a.Next(0, 0), b.Next(0, 0));
}
