// The component's velocity-error spectra against a plain DFT written here, plus the size rules,
// the nearest-bin search and the promise that a speed's analysis does not allocate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "VibrationTestHandler.h"

namespace {

// Counts the heap allocations of the calling thread while armed.
thread_local bool g_counting = false;
thread_local long g_allocations = 0;

}  // namespace

// Out of line, so that the compiler does not pair these with its own idea of new and delete.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr double kDt = 0.004;
constexpr double kPi = 3.141592653589793;

// Mean over the half-overlapping Hamming-windowed segments of |DFT| / L, by the definition.
std::vector<double> referenceSpectrum(std::vector<double> const& x, unsigned used,
                                      unsigned length) {
  unsigned const hop = length / 2;
  unsigned const segments = (used - length) / hop + 1;
  std::vector<double> amp(length / 2, 0.0);
  for (unsigned s = 0; s < segments; ++s) {
    for (unsigned k = 0; k < length / 2; ++k) {
      double re = 0.0;
      double im = 0.0;
      for (unsigned i = 0; i < length; ++i) {
        double const w = 0.54 - 0.46 * std::cos(2.0 * kPi * i / length);
        double const v = w * x[s * hop + i];
        re += v * std::cos(2.0 * kPi * k * i / length);
        im -= v * std::sin(2.0 * kPi * k * i / length);
      }
      amp[k] += std::hypot(re, im) / length;
    }
  }
  for (double& a : amp) a /= segments;
  return amp;
}

std::vector<double> noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist(0.0, 1.0);
  std::vector<double> x(n);
  for (double& v : x) v = dist(gen);
  return x;
}

class SpectraTest : public ::testing::Test {
 protected:
  vb::VibrationTestHandler component{"spectra"};
  std::vector<double> freq{1.0, 2.0};
  std::vector<double> amp{3.0};
  std::vector<unsigned int> peaks{7, 8, 9};

  void analyse(std::vector<double> const& x) {
    component.velocityErrorAnalysis(x, kDt, freq, amp, peaks);
  }
};

struct SizeCase {
  std::size_t samples;
  unsigned used;    // samples that take part
  unsigned length;  // segment and transform length
};

class SpectraSizeTest : public SpectraTest, public ::testing::WithParamInterface<SizeCase> {};

// Bins, frequency axis and amplitudes equal the definition; samples past the used ones count for
// nothing.
TEST_P(SpectraSizeTest, MatchesTheDefinitionOverTheUsedSamples) {
  SizeCase const c = GetParam();
  std::vector<double> x = noise(c.samples, static_cast<unsigned>(c.samples));
  analyse(x);
  ASSERT_EQ(freq.size(), c.length / 2);
  ASSERT_EQ(amp.size(), c.length / 2);
  std::vector<double> const expected = referenceSpectrum(x, c.used, c.length);
  double largest = 0.0;
  for (double a : expected) largest = std::max(largest, a);
  for (unsigned i = 0; i < c.length / 2; ++i) {
    EXPECT_DOUBLE_EQ(freq[i], (static_cast<double>(i) / c.length) / kDt);
    EXPECT_NEAR(amp[i], expected[i], 1e-9 * largest) << "bin " << i;
  }
  std::vector<unsigned int> const first_peaks = peaks;
  std::vector<double> const first_amp = amp;
  for (std::size_t i = c.used; i < x.size(); ++i) x[i] = 1e6;
  analyse(x);
  EXPECT_EQ(amp, first_amp);
  EXPECT_EQ(peaks, first_peaks);
}

INSTANTIATE_TEST_SUITE_P(Counts, SpectraSizeTest,
                         ::testing::Values(SizeCase{2, 2, 2}, SizeCase{3, 2, 2},
                                           SizeCase{1000, 512, 512}, SizeCase{1023, 512, 512},
                                           SizeCase{1024, 1024, 1024}, SizeCase{2047, 1024, 1024},
                                           SizeCase{2048, 2048, 1024}, SizeCase{5000, 4096, 1024},
                                           SizeCase{10000, 8192, 1024}));

TEST_F(SpectraTest, PeaksAreTheStrictLocalMaximaOfTheSpectrum) {
  analyse(noise(4096, 3));
  std::vector<unsigned int> expected;
  for (unsigned i = 1; i + 1 < amp.size(); ++i) {
    if (amp[i] > amp[i - 1] && amp[i] > amp[i + 1]) expected.push_back(i);
  }
  EXPECT_EQ(peaks, expected);
  EXPECT_FALSE(peaks.empty());
}

TEST_F(SpectraTest, SineOnABinAndConstant) {
  double const a = 2.5;
  unsigned const k = 40;
  std::vector<double> x(1024);
  for (unsigned i = 0; i < x.size(); ++i) x[i] = a * std::sin(2.0 * kPi * k * i / 1024.0);
  analyse(x);
  EXPECT_NEAR(amp[k], 0.27 * a, 1e-9);
  EXPECT_NEAR(amp[k - 1], 0.115 * a, 1e-9);
  EXPECT_NEAR(amp[k + 1], 0.115 * a, 1e-9);
  EXPECT_NE(std::find(peaks.begin(), peaks.end(), k), peaks.end());

  std::vector<double> const constant(1024, -3.0);
  analyse(constant);
  EXPECT_NEAR(amp[0], 0.54 * 3.0, 1e-9);
  EXPECT_NEAR(amp[1], 0.23 * 3.0, 1e-9);
  EXPECT_EQ(std::find(peaks.begin(), peaks.end(), 0u), peaks.end());
}

// Fewer than two samples are no measurement: no spectrum, and the amplitudes stay as they were.
TEST_F(SpectraTest, FewerThanTwoSamplesGiveNothing) {
  for (std::vector<double> const& x : {std::vector<double>{}, std::vector<double>{1.0}}) {
    freq = {1.0};
    amp = {1.0};
    peaks = {1};
    analyse(x);
    EXPECT_TRUE(freq.empty());
    EXPECT_TRUE(amp.empty());
    EXPECT_TRUE(peaks.empty());
    double a1 = 7.0, a2 = 8.0, a3 = 9.0;
    component.velocityErrorAnalysisSpecific(x, kDt, 10.0, a1, 20.0, a2, 30.0, a3);
    EXPECT_EQ(a1, 7.0);
    EXPECT_EQ(a2, 8.0);
    EXPECT_EQ(a3, 9.0);
  }
}

struct TargetCase {
  const char* name;
  double target;  // Hz; bins lie 1 / (1024 * 0.004) Hz apart
  int bin;        // expected bin, -1: amplitude left as it was
};

class SpectraTargetTest : public SpectraTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(SpectraTargetTest, NearestBinOrUnchanged) {
  TargetCase const c = GetParam();
  std::vector<double> const x = noise(3000, 11);
  analyse(x);
  double const unchanged = -1.0;
  double a1 = unchanged, a2 = unchanged, a3 = unchanged;
  component.velocityErrorAnalysisSpecific(x, kDt, c.target, a1, 5.0, a2, c.target, a3);
  double const expected = c.bin < 0 ? unchanged : amp[static_cast<unsigned>(c.bin)];
  EXPECT_EQ(a1, expected);
  EXPECT_EQ(a3, expected);
  EXPECT_EQ(a2, amp[20]);  // 5 Hz lies nearest bin 20 (4.8828 Hz); the searches are independent
}

double const kSpacing = 1.0 / (1024 * kDt);

INSTANTIATE_TEST_SUITE_P(Targets, SpectraTargetTest,
                         ::testing::Values(TargetCase{"OnBin", 30 * kSpacing, 30},
                                           TargetCase{"Midway", 30.5 * kSpacing, 30},
                                           TargetCase{"JustAboveMidway", 30.51 * kSpacing, 31},
                                           TargetCase{"Zero", 0.0, -1},
                                           TargetCase{"Negative", -3.0, -1},
                                           TargetCase{"BelowHalfSpacing", 0.4 * kSpacing, -1},
                                           TargetCase{"NotANumber", std::nan(""), -1},
                                           TargetCase{"AboveLastBin", 200.0, 511}),
                         [](::testing::TestParamInfo<TargetCase> const& info) {
                           return info.param.name;
                         });

// After the first call on a thread, analysing a speed allocates nothing but the growth of the
// caller's outputs; with outputs that have grown once, nothing at all.
TEST_F(SpectraTest, ASpeedsAnalysisDoesNotAllocate) {
  std::vector<double> const x = noise(10000, 5);
  analyse(x);
  double a1 = 0.0, a2 = 0.0, a3 = 0.0;
  g_allocations = 0;
  g_counting = true;
  for (int repeat = 0; repeat < 3; ++repeat) {
    analyse(x);
    component.velocityErrorAnalysisSpecific(x, kDt, 10.0, a1, 20.0, a2, 30.0, a3);
  }
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
}

}  // namespace
