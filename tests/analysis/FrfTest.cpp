// Averaged frequency response on signals with a known answer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "FRF.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSentinel = -7.25;

struct Response {
  std::vector<double> freq, amp, phase, coh;
};

Response frf(unsigned N, double dt, unsigned L, unsigned hop, std::vector<double> x,
             std::vector<double> y) {
  Response r{std::vector<double>(L, kSentinel), std::vector<double>(L, kSentinel),
             std::vector<double>(L, kSentinel), std::vector<double>(L, kSentinel)};
  vb::FRF(N, dt, L, hop, x.data(), y.data(), r.freq.data(), r.amp.data(), r.phase.data(),
          r.coh.data());
  return r;
}

std::vector<double> noise(std::size_t n, unsigned seed, double scale) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> dist(0.0, scale);
  std::vector<double> v(n);
  for (auto& s : v) s = dist(gen);
  return v;
}

std::vector<double> cosine(std::size_t n, double amplitude, double cycles, unsigned L,
                           double phase) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = amplitude * std::cos(2 * kPi * cycles * i / L + phase);
  return v;
}

std::vector<double> negated(std::vector<double> v) {
  for (auto& s : v) s = -s;
  return v;
}

// Loud broadband signals clear every threshold in every bin, over many overlapping segments.
TEST(FRF, IdentityAndInversionOverEveryBin) {
  const unsigned N = 4096, L = 256, hop = 100;
  const auto x = noise(N, 1, 100.0);
  const Response same = frf(N, 0.004, L, hop, x, x);
  const Response inverted = frf(N, 0.004, L, hop, x, negated(x));
  for (unsigned k = 0; k < L; ++k) {
    SCOPED_TRACE("bin " + std::to_string(k));
    EXPECT_NEAR(same.amp[k], 1.0, 1e-12);
    EXPECT_EQ(same.phase[k], 0.0);
    EXPECT_NEAR(same.coh[k], 1.0, 1e-12);
    EXPECT_NEAR(inverted.amp[k], 1.0, 1e-12);
    EXPECT_EQ(inverted.phase[k], kPi);
    EXPECT_NEAR(inverted.coh[k], 1.0, 1e-12);
  }
}

// One segment of a cosine at bin 10 of amplitude 0.5: the periodic Hamming window puts 0.135
// into bin 10 and 0.0575 into each neighbour (and mirror) and nothing elsewhere. So bin 10 clears
// both thresholds (Gxx 0.018), its neighbours only the response one (Gxx 0.0033, D 1.1e-5), and
// every other bin neither.
TEST(FRF, IdentityFollowsTheThresholds) {
  const unsigned L = 256;
  const auto x = cosine(L, 0.5, 10, L, 0.3);
  const Response r = frf(L, 0.004, L, 1, x, x);
  for (unsigned k = 0; k < L; ++k) {
    SCOPED_TRACE("bin " + std::to_string(k));
    const bool line = k == 10 || k == L - 10;
    const bool beside = k == 9 || k == 11 || k == L - 9 || k == L - 11;
    EXPECT_NEAR(r.amp[k], line || beside ? 1.0 : 0.0, 1e-12);
    EXPECT_EQ(r.phase[k], 0.0);
    EXPECT_NEAR(r.coh[k], line ? 1.0 : 0.0, 1e-12);
  }
}

TEST(FRF, KnownGainAndPhase) {
  struct Case {
    std::string name;
    double gain, phase;
  };
  const Case cases[] = {
      {"positive_quadrant", 2.0, 0.5},
      {"fourth_quadrant", 0.5, -1.0},
      {"second_quadrant", 1.0, 3 * kPi / 4},  // a = -1, b = 1 in shape
      {"third_quadrant", 3.0, -2.5},
      {"quarter_turn", 1.5, kPi / 2},  // real part below threshold: snaps
      {"minus_quarter", 1.5, -kPi / 2},
      {"half_turn", 0.25, kPi},  // imaginary part below threshold: snaps
  };
  const unsigned N = 4096, L = 256, hop = 128, bin = 20;
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    const auto x = cosine(N, 1.0, bin, L, 0.0);
    const auto y = cosine(N, c.gain, bin, L, c.phase);
    const Response r = frf(N, 0.004, L, hop, x, y);
    EXPECT_NEAR(r.amp[bin], c.gain, 1e-9 * c.gain);
    EXPECT_NEAR(r.phase[bin], c.phase, 1e-9);
    EXPECT_NEAR(r.coh[bin], 1.0, 1e-9);
    // The mirror bin of a real signal carries the conjugate response.
    EXPECT_NEAR(r.amp[L - bin], c.gain, 1e-9 * c.gain);
    const double mirror = c.phase == kPi ? kPi : -c.phase;
    EXPECT_NEAR(r.phase[L - bin], mirror, 1e-9);
  }
}

TEST(FRF, FrequencyAxis) {
  const unsigned L = 1024;
  const auto x = noise(L, 2, 1.0);
  const Response r = frf(L, 0.004, L, 1, x, x);
  EXPECT_EQ(r.freq[0], 0.0);
  EXPECT_NEAR(r.freq[1], 1.0 / 4.096, 1e-12);
  EXPECT_NEAR(r.freq[512], 125.0, 1e-12);
  EXPECT_NEAR(r.freq[1023], 1023 / 4.096, 1e-12);
}

// Samples past the last whole segment take no part: N = L + hop - 1 is one segment (coherence 1
// wherever it is measured, as for any single segment), N = L + hop two.
TEST(FRF, SegmentCount) {
  const unsigned L = 64, hop = 16;
  auto x = noise(L + hop, 3, 50.0);
  auto y = noise(L + hop, 4, 50.0);
  const unsigned one = L + hop - 1;
  const Response base = frf(one, 0.004, L, hop, x, y);
  auto x2 = x, y2 = y;
  x2[one - 1] += 1000.0;
  y2[one - 1] -= 1000.0;
  const Response ignored = frf(one, 0.004, L, hop, x2, y2);
  EXPECT_EQ(base.amp, ignored.amp);
  EXPECT_EQ(base.phase, ignored.phase);
  EXPECT_EQ(base.coh, ignored.coh);
  for (unsigned k = 0; k < L; ++k) EXPECT_NEAR(base.coh[k], 1.0, 1e-9) << "bin " << k;

  const Response two = frf(L + hop, 0.004, L, hop, x, y);
  const Response changed = frf(L + hop, 0.004, L, hop, x2, y2);
  EXPECT_NE(two.amp, changed.amp);
  double lowest = 1.0;
  for (unsigned k = 0; k < L; ++k) lowest = std::min(lowest, two.coh[k]);
  EXPECT_LT(lowest, 0.99);
}

// Calls the segment rule cannot serve leave every output as it was.
TEST(FRF, RefusedCallsTouchNoOutput) {
  struct Case {
    std::string name;
    unsigned N, L, hop;
    double dt;
  };
  const Case cases[] = {
      {"segment_longer_than_signal", 100, 128, 1, 0.004},
      {"zero_length", 100, 0, 1, 0.004},
      {"zero_hop", 100, 64, 0, 0.004},
      {"zero_interval", 100, 64, 8, 0.0},
      {"nan_interval", 100, 64, 8, std::numeric_limits<double>::quiet_NaN()},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    const unsigned outs = c.L == 0 ? 1 : c.L;
    const auto x = noise(c.N, 5, 1.0);
    Response r{std::vector<double>(outs, kSentinel), std::vector<double>(outs, kSentinel),
               std::vector<double>(outs, kSentinel), std::vector<double>(outs, kSentinel)};
    auto xs = x, ys = x;
    vb::FRF(c.N, c.dt, c.L, c.hop, xs.data(), ys.data(), r.freq.data(), r.amp.data(),
            r.phase.data(), r.coh.data());
    for (auto const* out : {&r.freq, &r.amp, &r.phase, &r.coh}) {
      EXPECT_EQ(*out, std::vector<double>(outs, kSentinel));
    }
  }
}

}  // namespace
