// Peak pickers and the index of the minimum, case tables.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "FFT.h"

namespace {

using Positions = std::vector<unsigned int>;
using Picker = void (*)(std::vector<double> const&, Positions&);

struct PeakCase {
  std::string name;
  std::vector<double> x;
  Positions expected;
};

// Runs the picker on each case with peaks holding `before` on entry.
void expectPeaks(Picker picker, std::vector<PeakCase> const& cases, Positions const& before) {
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    Positions peaks = before;
    picker(c.x, peaks);
    EXPECT_EQ(peaks, c.expected);
  }
}

TEST(AMPD, StrictLocalMaxima) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<PeakCase> cases = {
      {"empty", {}, {}},
      {"one", {1.0}, {}},
      {"two", {1.0, 2.0}, {}},
      {"two_peaks", {0, 1, 0, 2, 0}, {1, 3}},
      {"flat_top", {0, 1, 1, 0}, {}},
      {"ends_never", {5, 1, 5}, {}},
      {"plateau_then_peak", {0, 2, 2, 1, 3, 0}, {4}},
      {"nan_neighbour", {0, 1, nan, 2, 0, 3, 1}, {5}},
      {"negative", {-3, -1, -2, -5, -4, -6}, {1, 4}},
  };
  expectPeaks(vb::AMPD, cases, {77, 88});  // stale content must go
}

TEST(Argmin, LaterPositionWinsTies) {
  struct Case {
    std::vector<int> v;
    std::int32_t expected;
  };
  const Case cases[] = {
      {{}, 0},
      {{5}, 0},
      {{5, 3, 3, 4}, 2},
      {{1, 2, 3}, 0},
      {{3, 2, 1}, 2},
      {{2, 2, 2}, 2},
      {{-1, 7, -1, 0}, 2},
      {{0, std::numeric_limits<int>::min()}, 1},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(vb::argmin(c.v), c.expected) << ::testing::PrintToString(c.v);
  }
}

// One rise and fall of height h over 2*half samples, starting and ending the period at 0.
std::vector<double> triangle(double h, int half) {
  std::vector<double> v;
  for (int i = 0; i < half; ++i) v.push_back(h * i / half);
  for (int i = 0; i < half; ++i) v.push_back(h * (half - i) / half);
  return v;
}

std::vector<double> join(std::vector<std::vector<double>> const& parts) {
  std::vector<double> v;
  for (auto const& p : parts) v.insert(v.end(), p.begin(), p.end());
  v.push_back(0.0);
  return v;
}

TEST(VPD, SelectsPeaksByRiseAboveTheirValley) {
  const auto t4 = triangle(4, 4);
  const auto big = triangle(8, 4);
  const auto big8 = triangle(8, 8);
  std::vector<double> falling = {4, 3, 2, 1};
  falling.insert(falling.end(), t4.begin(), t4.end());
  falling.insert(falling.end(), t4.begin(), t4.end());
  falling.push_back(0);
  std::vector<double> rising;
  for (int i = 0; i < 30; ++i) rising.push_back(i * 0.5);
  const std::vector<PeakCase> cases = {
      {"empty", {}, {}},
      {"four_samples", {0, 1, 0, 1}, {}},
      {"monotonic", rising, {}},
      {"single_peak", join({triangle(5, 5)}), {}},
      // The first peak has no valley before it and is dropped; equal rises all survive.
      {"equal_rises", join({t4, t4, t4, t4, t4}), {12, 20, 28, 36}},
      // A valley comes first, so the first peak is kept.
      {"valley_first", falling, {8, 16}},
      // A small peak between large ones goes in the first pass.
      {"small_between", join({big8, big8, triangle(2, 8), big8, big8}), {24, 56, 72}},
      // The middle one survives the first pass beside the small one and goes in the second.
      {"second_pass",
       join({big8, big8, triangle(1.5, 8), triangle(4, 8), big8, big8}),
       {24, 72, 88}},
      // The last peak is measured against nothing on its right: gone at a rise ratio of 0.12
      // to its left neighbour, kept at 0.7.
      {"last_small", join({big, big, big, triangle(1.5, 4)}), {12, 20}},
      {"last_kept", join({big, big, big, triangle(4, 4)}), {12, 20, 28}},
  };
  expectPeaks(vb::VPD, cases, {});
}

TEST(VPD, AppendsWithoutEmptying) {
  const auto t4 = triangle(4, 4);
  const auto x = join({t4, t4, t4, t4, t4});
  Positions peaks = {99};
  vb::VPD(x, peaks);
  vb::VPD(x, peaks);
  EXPECT_EQ(peaks, (Positions{99, 12, 20, 28, 36, 12, 20, 28, 36}));
  Positions kept = {5};
  vb::VPD({1, 2, 3}, kept);
  EXPECT_EQ(kept, Positions{5});
}

}  // namespace
