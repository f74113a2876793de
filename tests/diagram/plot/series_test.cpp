// A line's point storage: growth, order, extremes through deletes and
// trims, checked against a plain model; and the point marker's half sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <random>

#include "diagram/plot/sgr_data.h"

namespace {

TEST(SeriesStorage, GrowsInStepsOf32AndKeepsOrder) {
  Tsp_XYLine s;
  EXPECT_EQ(s.Count(), 0);
  s.AddXY(1, 10);
  EXPECT_EQ(s.Capacity(), 32);
  for (int i = 1; i < 1000; ++i) s.AddXY(i + 1, 10 + i);
  EXPECT_EQ(s.Count(), 1000);
  EXPECT_EQ(s.Capacity() % 32, 0);
  EXPECT_LE(s.Capacity(), 1500);  // bounded slack
  EXPECT_DOUBLE_EQ(s.GetX(999), 1000);
  EXPECT_DOUBLE_EQ(s.GetY(0), 10);
  EXPECT_DOUBLE_EQ(s.GetX(-1), 0);  // out of range reads are harmless
  EXPECT_DOUBLE_EQ(s.GetX(1000), 0);
}

TEST(SeriesStorage, ExtremesAndDelete) {
  Tsp_XYLine s;
  double v;
  EXPECT_FALSE(s.GetXMin(v));
  s.AddXY(3, -1);
  s.AddXY(1, 5);
  s.AddXY(2, 2);
  ASSERT_TRUE(s.GetXMin(v));
  EXPECT_DOUBLE_EQ(v, 1);
  ASSERT_TRUE(s.GetYMax(v));
  EXPECT_DOUBLE_EQ(v, 5);
  s.Delete(1);  // the point holding both X min and Y max
  EXPECT_EQ(s.Count(), 2);
  EXPECT_DOUBLE_EQ(s.GetX(1), 2);
  ASSERT_TRUE(s.GetXMin(v));
  EXPECT_DOUBLE_EQ(v, 2);
  ASSERT_TRUE(s.GetYMax(v));
  EXPECT_DOUBLE_EQ(v, 2);
  s.Delete(5);
  s.Delete(-1);
  EXPECT_EQ(s.Count(), 2);
  s.Delete(0);
  s.Delete(0);
  EXPECT_EQ(s.Count(), 0);
  EXPECT_FALSE(s.GetYMin(v));
  // Non-finite values never become extremes.
  s.AddXY(std::nan(""), INFINITY);
  EXPECT_FALSE(s.GetXMin(v));
  s.AddXY(4, 7);
  ASSERT_TRUE(s.GetXMax(v));
  EXPECT_DOUBLE_EQ(v, 4);
  ASSERT_TRUE(s.GetYMin(v));
  EXPECT_DOUBLE_EQ(v, 7);
}

TEST(SeriesStorage, SortednessIsTrackedThroughDeletes) {
  Tsp_XYLine s;
  for (int i = 0; i < 10; ++i) s.AddXY(i, 0);
  EXPECT_TRUE(s.XSorted());
  s.AddXY(3, 0);  // step back
  EXPECT_FALSE(s.XSorted());
  s.Delete(10);
  EXPECT_TRUE(s.XSorted());
  s.AddXY(std::nan(""), 0);
  EXPECT_FALSE(s.XSorted());
  s.Delete(s.Count() - 1);
  s.Delete(4);  // middle delete keeps order
  EXPECT_TRUE(s.XSorted());
  s.AddXY(100, std::nan(""));
  EXPECT_TRUE(s.HasNaNY());
  s.Delete(s.Count() - 1);
  EXPECT_FALSE(s.HasNaNY());
}

// The ring with its block extremes against a plain model, through appends,
// front trims (with wrap-around), middle deletes and growth.
TEST(SeriesStorage, RangeExtremesMatchAPlainModel) {
  Tsp_XYLine s;
  std::deque<double> model;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> val(-100, 100);
  int x = 0;
  for (int round = 0; round < 6000; ++round) {
    int op = rng() % 10;
    if (op < 6 || model.empty()) {
      double y = val(rng);
      s.AddXY(x++, y);
      model.push_back(y);
    } else if (op < 9) {
      s.Delete(0);
      model.pop_front();
    } else {
      int i = rng() % model.size();
      s.Delete(i);
      model.erase(model.begin() + i);
    }
    ASSERT_EQ(s.Count(), static_cast<int>(model.size()));
    if (round % 37 == 0 && !model.empty()) {
      for (int q = 0; q < 20; ++q) {
        int a = rng() % model.size(), b = a + 1 + rng() % (model.size() - a);
        double mn, mx;
        ASSERT_TRUE(s.RangeMinMaxY(a, b, mn, mx));
        auto [lo, hi] = std::minmax_element(model.begin() + a, model.begin() + b);
        ASSERT_EQ(mn, *lo) << "round " << round << " [" << a << "," << b << ")";
        ASSERT_EQ(mx, *hi);
      }
      for (size_t i = 0; i < model.size(); i += 97) ASSERT_EQ(s.GetY(i), model[i]);
    }
  }
}

TEST(SeriesStorage, SteadyTrimDoesNotGrow) {
  Tsp_XYLine s;
  for (int i = 0; i < 5000; ++i) s.AddXY(i, i);
  int cap = s.Capacity();
  for (int i = 5000; i < 50000; ++i) {
    s.AddXY(i, i);
    s.Delete(0);
  }
  EXPECT_EQ(s.Capacity(), cap);
  EXPECT_DOUBLE_EQ(s.GetX(0), 45000);
}

// Past a megabyte the ring lives on pages of its own, aligned to a large
// page; every point survives each move to a larger ring.
TEST(SeriesStorage, LargeRingsKeepEveryPointAndAreAligned) {
  Tsp_XYLine s;
  constexpr int kPoints = 200000;  // about 3 MB of points
  for (int i = 0; i < kPoints; ++i) s.AddXY(i, std::sin(i * 0.001));
  ASSERT_EQ(s.Count(), kPoints);
  for (int i = 0; i < kPoints; i += 997) {
    ASSERT_DOUBLE_EQ(s.GetX(i), i);
    ASSERT_DOUBLE_EQ(s.GetY(i), std::sin(i * 0.001));
  }
  for (int i = 0; i < 1000; ++i) s.Delete(0);
  EXPECT_DOUBLE_EQ(s.GetX(0), 1000);

  void* p = AllocateLargeBuffer(size_t(3) << 20);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size_t(2) << 20), 0u);
  static_cast<char*>(p)[(size_t(3) << 20) - 1] = 1;  // all of it is usable
  FreeLargeBuffer(p, size_t(3) << 20);
  void* small = AllocateLargeBuffer(1000);
  static_cast<char*>(small)[999] = 1;
  FreeLargeBuffer(small, 1000);
}

TEST(PointAttr, HalfSizes) {
  Tsp_PointAttr a;
  EXPECT_EQ(a.HSize(), 5);
  a.SetHSize(4);
  EXPECT_EQ(a.HSize(), 5);
  a.SetHSize(0);
  EXPECT_EQ(a.HSize(), 1);
  a.SetHSize(-7);
  EXPECT_EQ(a.HSize(), 1);
  a.SetVSize(8);
  EXPECT_EQ(a.VSize(), 9);
  EXPECT_EQ(a.HalfV(), 4);
  // The outline is never wider than a half size.
  a.SetHSize(6);
  a.SetBorderWidth(10);
  EXPECT_EQ(a.BorderWidth(), 3);
  int notified = 0;
  a.SetOnChange([&] { ++notified; });
  a.SetKind(ptDiamond);
  a.SetKind(ptDiamond);
  EXPECT_EQ(notified, 1);
}

}  // namespace
