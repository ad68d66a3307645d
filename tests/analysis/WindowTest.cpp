// Window factors: the stated values, the closed forms over i/n, and the inputs that change
// nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "FRF.h"

namespace {

using vb::WindowType;

std::vector<double> factors(WindowType type, double dt, unsigned n) {
  std::vector<double> data(n, 1.0);
  vb::WindowFunction(type, dt, n, data.data());
  return data;
}

struct StatedCase {
  std::string name;
  WindowType type;
  unsigned n;
  std::vector<unsigned> at;  // sample positions checked
  std::vector<double> expected;
};

TEST(WindowFunction, StatedFactors) {
  const StatedCase cases[] = {
      {"hanning_4", vb::Hanning, 4, {0, 1, 2, 3}, {0.0, 0.5, 1.0, 0.5}},
      {"hamming_4", vb::Hamming, 4, {0, 1, 2, 3}, {0.08, 0.54, 1.0, 0.54}},
      {"hanning_1", vb::Hanning, 1, {0}, {0.0}},
      {"hamming_1", vb::Hamming, 1, {0}, {0.08}},
      {"flattop_1", vb::FlatTop, 1, {0}, {0.0042 / 4.634}},
      // Start, quarter (below zero) and middle (above one) of the flat-top window.
      {"flattop_8", vb::FlatTop, 8, {0, 2, 4}, {0.0042 / 4.634, -0.2578 / 4.634, 4.6402 / 4.634}},
      {"hamming_1024", vb::Hamming, 1024, {0, 256, 512, 768}, {0.08, 0.54, 1.0, 0.54}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    const auto w = factors(c.type, 0.004, c.n);
    for (std::size_t j = 0; j < c.at.size(); ++j) {
      EXPECT_NEAR(w[c.at[j]], c.expected[j], 1e-12) << "sample " << c.at[j];
    }
  }
}

// The periodic windows over r = i/n, written independently of how the routine forms its
// arguments; whatever the sample interval, the factors are the same.
double closedForm(WindowType type, long double r) {
  const long double tau = 6.283185307179586476925286766559L;
  const long double c1 = std::cos(tau * r);
  switch (type) {
    case vb::Hanning:
      return static_cast<double>(0.5L * (1 - c1));
    case vb::Hamming:
      return static_cast<double>(0.54L - 0.46L * c1);
    case vb::FlatTop:
      return static_cast<double>((1 - 1.93L * c1 + 1.29L * std::cos(2 * tau * r) -
                                  0.388L * std::cos(3 * tau * r) +
                                  0.0322L * std::cos(4 * tau * r)) /
                                 4.634L);
  }
  return 1.0;
}

TEST(WindowFunction, PeriodicClosedFormForAnySampleInterval) {
  for (WindowType type : {vb::Hanning, vb::FlatTop, vb::Hamming}) {
    for (unsigned n : {2u, 3u, 7u, 64u, 1000u}) {
      for (double dt : {0.004, 1.0, 1e-3, 7.5, -0.004}) {
        SCOPED_TRACE("type " + std::to_string(type) + " n " + std::to_string(n) + " dt " +
                     std::to_string(dt));
        const auto w = factors(type, dt, n);
        for (unsigned i = 0; i < n; ++i) {
          EXPECT_NEAR(w[i], closedForm(type, static_cast<long double>(i) / n), 1e-12) << i;
        }
      }
    }
  }
}

TEST(WindowFunction, MultipliesEachSampleByItsFactor) {
  const auto w = factors(vb::Hamming, 0.004, 16);
  std::vector<double> data(16);
  for (unsigned i = 0; i < 16; ++i) data[i] = 0.75 * i - 3.0;
  auto out = data;
  vb::WindowFunction(vb::Hamming, 0.004, 16, out.data());
  for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(out[i], w[i] * data[i]) << i;
}

// Inputs that name no window or no length leave every sample as it was, bit for bit.
TEST(WindowFunction, RefusedInputsChangeNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string name;
    WindowType type;
    double dt;
    unsigned n;
  };
  const Case cases[] = {
      {"type_0", static_cast<WindowType>(0), 0.004, 7},
      {"type_4", static_cast<WindowType>(4), 0.004, 4},
      {"type_negative", static_cast<WindowType>(-1), 0.004, 1},
      {"type_99", static_cast<WindowType>(99), 1.0, 7},
      {"dt_0", vb::Hamming, 0.0, 7},
      {"dt_negative_0", vb::Hanning, -0.0, 4},
      {"dt_nan", vb::FlatTop, nan, 4},
      {"dt_inf", vb::Hamming, inf, 4},
      {"n_0", vb::Hamming, 0.004, 0},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> data = {1.5, -2.0, 3.25, 0.0, 7.0, -1e300, 42.0, 99.0};
    const auto before = data;
    vb::WindowFunction(c.type, c.dt, c.n, data.data());
    EXPECT_EQ(data, before);
  }
  vb::WindowFunction(vb::Hamming, 0.004, 0, nullptr);  // n = 0 reads nothing
}

}  // namespace
