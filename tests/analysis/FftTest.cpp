// The transforms against a plain DFT, against the arithmetic they are defined by, and at their
// edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "FFT.h"

namespace {

using vb::Complex;
using Bins = std::vector<std::complex<long double>>;

std::vector<Complex> randomSignal(std::size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<Complex> x(n);
  for (auto& v : x) v = Complex(dist(gen), dist(gen));
  return x;
}

// Plain DFT of x extended with zeros to m points, sign -1 forward, +1 inverse (unscaled).
Bins dft(std::vector<Complex> const& x, std::size_t m, int sign) {
  const long double pi = 3.141592653589793238462643383279502884L;
  Bins roots(m);
  for (std::size_t j = 0; j < m; ++j) {
    const long double angle = sign * 2 * pi * static_cast<long double>(j) / m;
    roots[j] = std::complex<long double>(std::cos(angle), std::sin(angle));
  }
  Bins out(m);
  for (std::size_t k = 0; k < m; ++k) {
    std::complex<long double> sum = 0;
    for (std::size_t j = 0; j < x.size() && j < m; ++j) {
      sum += std::complex<long double>(x[j].re, x[j].im) * roots[(j * k) % m];
    }
    out[k] = sum;
  }
  return out;
}

// Largest deviation of the first x.size() bins from the reference, relative to the largest bin.
double relativeError(std::vector<Complex> const& x, Bins const& ref) {
  long double largest = 0;
  for (auto const& b : ref) largest = std::max(largest, std::abs(b));
  if (largest == 0) largest = 1;
  long double worst = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    worst = std::max(worst, std::abs(std::complex<long double>(x[k].re, x[k].im) - ref[k]));
  }
  return static_cast<double>(worst / largest);
}

bool sameValues(std::vector<Complex> const& a, std::vector<Complex> const& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].re != b[i].re || a[i].im != b[i].im) return false;
  }
  return true;
}

bool isPow2(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }
std::size_t nextPow2(std::size_t n) {
  std::size_t m = 1;
  while (m < n) m *= 2;
  return m;
}
std::size_t abovePow2(std::size_t n) {  // 2^(floor(log2 n) + 1)
  std::size_t m = 1;
  while (m <= n) m *= 2;
  return m;
}

struct Transform {
  std::string name;
  std::function<void(std::vector<Complex>&)> run;
  // Transform length for n values, 0 when the routine refuses n.
  std::function<std::size_t(std::size_t)> length;
  int sign;  // -1 forward, +1 inverse (scaled by 1/length)
};

unsigned size32(std::vector<Complex> const& v) { return static_cast<unsigned>(v.size()); }

std::vector<Transform> transforms() {
  auto onlyPow2 = [](std::size_t n) { return isPow2(n) ? n : std::size_t{0}; };
  return {
      {"fft", [](auto& v) { vb::fft(size32(v), v.data()); }, nextPow2, -1},
      {"fft2", [](auto& v) { vb::fft2(size32(v), v.data()); }, nextPow2, -1},
      {"fft_in", [](auto& v) { vb::fft_in(size32(v), v.data(), false); }, onlyPow2, -1},
      {"fft_in_inverse", [](auto& v) { vb::fft_in(size32(v), v.data(), true); }, onlyPow2, 1},
      {"fft2_in", [](auto& v) { vb::fft2_in(size32(v), v.data()); }, onlyPow2, -1},
      {"vector_fft", [](auto& v) { vb::fft(v); }, abovePow2, -1},
      {"vector_fft2", [](auto& v) { vb::fft2(v); }, nextPow2, -1},
      {"vector_fft_in", [](auto& v) { vb::fft_in(v, false); }, onlyPow2, -1},
      {"vector_fft_in_inverse", [](auto& v) { vb::fft_in(v, true); }, onlyPow2, 1},
      {"vector_fft2_in", [](auto& v) { vb::fft2_in(v); }, onlyPow2, -1},
  };
}

class EveryTransform : public ::testing::TestWithParam<Transform> {};

// Every n from 1 to 64, the control thread's 1024, and pads that fit the stack scratch (1000) and
// that do not (1500). A refused length must leave the data exactly as it was.
TEST_P(EveryTransform, MatchesPlainDftOrRefuses) {
  const Transform& t = GetParam();
  std::vector<std::size_t> sizes;
  for (std::size_t n = 1; n <= 64; ++n) sizes.push_back(n);
  sizes.insert(sizes.end(), {1000, 1024, 1500});
  for (std::size_t n : sizes) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const auto input = randomSignal(n, static_cast<unsigned>(n));
    auto x = input;
    t.run(x);
    ASSERT_EQ(x.size(), n);
    const std::size_t m = t.length(n);
    if (m == 0) {
      EXPECT_TRUE(sameValues(x, input));
      continue;
    }
    Bins ref = dft(input, m, t.sign);
    if (t.sign > 0) {
      for (auto& b : ref) b /= static_cast<long double>(m);
    }
    EXPECT_LE(relativeError(x, ref), 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(Analysis, EveryTransform, ::testing::ValuesIn(transforms()),
                         [](auto const& info) { return info.param.name; });

// The transform as it is defined: halves by even and odd position, both transformed, angle
// -pi/h (+pi/h inverse) with one cos and sin per level, twiddle carried by multiplication, both
// outputs halved at each level of the inverse.
void recursiveDefinition(std::size_t n, Complex* x, bool inverse) {
  if (n < 2) return;
  const std::size_t h = n / 2;
  std::vector<Complex> even(h), odd(h);
  for (std::size_t k = 0; k < h; ++k) {
    even[k] = x[2 * k];
    odd[k] = x[2 * k + 1];
  }
  recursiveDefinition(h, even.data(), inverse);
  recursiveDefinition(h, odd.data(), inverse);
  const double theta = (inverse ? 3.141592653589793 : -3.141592653589793) / h;
  const double c = std::cos(theta), s = std::sin(theta);
  double wr = 1.0, wi = 0.0;
  for (std::size_t k = 0; k < h; ++k) {
    const double tr = odd[k].re * wr - odd[k].im * wi;
    const double ti = odd[k].im * wr + odd[k].re * wi;
    x[k] = Complex(even[k].re + tr, even[k].im + ti);
    x[k + h] = Complex(even[k].re - tr, even[k].im - ti);
    if (inverse) {
      x[k] = Complex(x[k].re * 0.5, x[k].im * 0.5);
      x[k + h] = Complex(x[k + h].re * 0.5, x[k + h].im * 0.5);
    }
    const double nr = wr * c - wi * s;
    wi = wr * s + wi * c;
    wr = nr;
  }
}

// The iterative transform as it is defined: bit reversal over floor(ln n / ln 2) bits, then
// blocks of 2, 4, ... each walking its own twiddle from (1, 0).
void iterativeDefinition(std::size_t n, Complex* x) {
  const int bits =
      static_cast<int>(std::floor(std::log(static_cast<double>(n)) / 0.6931471805599453));
  for (std::size_t i = 0; i < n; ++i) {
    const auto r = static_cast<std::size_t>(vb::reverseBits(static_cast<int>(i), bits));
    if (r < i) std::swap(x[i], x[r]);
  }
  for (std::size_t b = 2; b <= n; b *= 2) {
    double c = -1.0, s = -1.2246467991473532e-16;
    if (b > 2) {
      c = std::cos(-6.283185307179586 / b);
      s = std::sin(-6.283185307179586 / b);
    }
    for (std::size_t p = 0; p < n; p += b) {
      double wr = 1.0, wi = 0.0;
      for (std::size_t j = 0; j < b / 2; ++j) {
        const Complex top = x[p + j], bottom = x[p + j + b / 2];
        const double tr = bottom.re * wr - bottom.im * wi;
        const double ti = bottom.im * wr + bottom.re * wi;
        x[p + j] = Complex(top.re + tr, top.im + ti);
        x[p + j + b / 2] = Complex(top.re - tr, top.im - ti);
        const double nr = wr * c - wi * s;
        wi = wr * s + wi * c;
        wr = nr;
      }
    }
  }
}

// Rounding is part of the result the spectra are compared by, so the values must agree to the
// last bit with the defining arithmetic, not merely within a tolerance.
TEST(FftArithmetic, EqualsDefiningRecursionAndIterationBitForBit) {
  for (std::size_t n = 1; n <= 4096; n *= 2) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const auto input = randomSignal(n, 7);
    for (bool inverse : {false, true}) {
      auto expected = input;
      recursiveDefinition(n, expected.data(), inverse);
      auto pointer = input;
      vb::fft_in(static_cast<unsigned>(n), pointer.data(), inverse);
      auto vector = input;
      vb::fft_in(vector, inverse);
      EXPECT_TRUE(sameValues(pointer, expected)) << "inverse " << inverse;
      EXPECT_TRUE(sameValues(vector, expected)) << "inverse " << inverse;
    }
    auto expected = input;
    iterativeDefinition(n, expected.data());
    auto iterative = input;
    vb::fft2_in(static_cast<unsigned>(n), iterative.data());
    EXPECT_TRUE(sameValues(iterative, expected));
  }
}

// The front end pads with zeros and keeps the first n bins of the padded transform, exactly.
TEST(FftArithmetic, FrontEndEqualsPaddedDefinitionBitForBit) {
  for (std::size_t n : {3u, 5u, 100u, 1000u, 1025u, 1500u}) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const auto input = randomSignal(n, 11);
    auto padded = input;
    padded.resize(nextPow2(n));
    recursiveDefinition(padded.size(), padded.data(), false);
    padded.resize(n);
    auto x = input;
    vb::fft(static_cast<unsigned>(n), x.data());
    EXPECT_TRUE(sameValues(x, padded));
    auto y = input;
    vb::fft2(static_cast<unsigned>(n), y.data());
    EXPECT_TRUE(sameValues(y, padded));
  }
}

TEST(FftRoundTrip, ForwardThenInverseReturnsInput) {
  const std::vector<std::pair<std::string, std::function<void(std::vector<Complex>&)>>> forwards = {
      {"fft_in", [](auto& v) { vb::fft_in(size32(v), v.data(), false); }},
      {"fft2_in", [](auto& v) { vb::fft2_in(size32(v), v.data()); }},
      {"vector_fft_in", [](auto& v) { vb::fft_in(v, false); }},
      {"fft", [](auto& v) { vb::fft(size32(v), v.data()); }},
  };
  for (auto const& [name, forward] : forwards) {
    for (std::size_t n = 1; n <= (1u << 14); n *= 2) {
      SCOPED_TRACE(name + " n = " + std::to_string(n));
      const auto input = randomSignal(n, 3);
      auto x = input;
      forward(x);
      vb::fft_in(x, true);
      double worst = 0;
      for (std::size_t i = 0; i < n; ++i) {
        worst = std::max(worst, std::hypot(x[i].re - input[i].re, x[i].im - input[i].im));
      }
      // The twiddle recurrence lets rounding grow with the length.
      EXPECT_LE(worst, 1e-9);
    }
  }
}

// Fixed small cases. Values past n in each buffer are guards that must survive untouched.
struct PointerCase {
  std::string name;
  std::function<void(unsigned, Complex*)> run;
  unsigned n;
  std::vector<Complex> input;
  std::vector<Complex> expected;
};

std::vector<PointerCase> pointerCases() {
  using Run = std::function<void(unsigned, Complex*)>;
  const std::vector<std::pair<std::string, Run>> forward = {
      {"fft", [](unsigned n, Complex* x) { vb::fft(n, x); }},
      {"fft2", [](unsigned n, Complex* x) { vb::fft2(n, x); }},
      {"fft_in", [](unsigned n, Complex* x) { vb::fft_in(n, x, false); }},
      {"fft2_in", [](unsigned n, Complex* x) { vb::fft2_in(n, x); }},
  };
  const Run inverse = [](unsigned n, Complex* x) { vb::fft_in(n, x, true); };
  const Complex guard(9.5, -9.5);
  std::vector<PointerCase> cases;
  auto all = forward;
  all.emplace_back("fft_in_inverse", inverse);
  for (auto const& [name, run] : all) {
    cases.push_back({name + "_n0", run, 0, {{5, 6}, guard}, {{5, 6}, guard}});
    cases.push_back({name + "_n1", run, 1, {{3, -2}, guard}, {{3, -2}, guard}});
  }
  std::vector<Complex> ones(8, Complex(1, 0));
  std::vector<Complex> eight(8, Complex(0, 0));
  eight[0] = Complex(8, 0);
  std::vector<Complex> impulse(16, Complex(0, 0));
  impulse[0] = Complex(1, 0);
  std::vector<Complex> flat(16, Complex(1, 0));
  for (auto const& [name, run] : forward) {
    cases.push_back({name + "_n2", run, 2, {{1, 2}, {3, 5}, guard}, {{4, 7}, {-2, -3}, guard}});
    cases.push_back({name + "_ones8", run, 8, ones, eight});
    cases.push_back({name + "_impulse16", run, 16, impulse, flat});
  }
  for (std::size_t i : {0u, 1u}) {  // the padding front ends
    cases.push_back({forward[i].first + "_n3",
                     forward[i].second,
                     3,
                     {{1, 0}, {1, 0}, {1, 0}, guard},
                     {{3, 0}, {0, -1}, {1, 0}, guard}});
  }
  return cases;
}

class PointerEdge : public ::testing::TestWithParam<PointerCase> {};

TEST_P(PointerEdge, GivesTheStatedBins) {
  const PointerCase& c = GetParam();
  auto x = c.input;
  c.run(c.n, x.data());
  ASSERT_EQ(x.size(), c.expected.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(x[i].re, c.expected[i].re, 1e-12) << "bin " << i;
    EXPECT_NEAR(x[i].im, c.expected[i].im, 1e-12) << "bin " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Analysis, PointerEdge, ::testing::ValuesIn(pointerCases()),
                         [](auto const& info) { return info.param.name; });

TEST(FftVector, FftOfPowerOfTwoSizeUsesTwiceTheLength) {
  std::vector<Complex> v(4, Complex(1, 0));
  vb::fft(v);
  ASSERT_EQ(v.size(), 4u);
  // Bins 0..3 of the 8-point transform of four ones and four zeros.
  const double r2 = std::sqrt(2.0);
  const std::vector<Complex> expected = {{4, 0}, {1, -(1 + r2)}, {0, 0}, {1, 1 - r2}};
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_NEAR(v[k].re, expected[k].re, 1e-12) << "bin " << k;
    EXPECT_NEAR(v[k].im, expected[k].im, 1e-12) << "bin " << k;
  }
}

TEST(FftVector, Fft2OfThreeValuesEqualsPointerForm) {
  const std::vector<Complex> input = {{1, 2}, {-3, 0.5}, {0.25, -1}};
  auto v = input;
  vb::fft2(v);
  auto p = input;
  vb::fft2(3, p.data());
  EXPECT_TRUE(sameValues(v, p));
}

TEST(FftVector, EmptyVectorsStayEmpty) {
  std::vector<Complex> v;
  vb::fft(v);
  vb::fft2(v);
  vb::fft_in(v, false);
  vb::fft_in(v, true);
  vb::fft2_in(v);
  EXPECT_TRUE(v.empty());
}

// Lengths far beyond what a thread's stack could hold as scratch: the original 3m - 2 values for
// 2^21 points would be 150 MB. Spot bins are checked against direct sums.
TEST(FftLong, LongRecordsNeedNoStackRoom) {
  const std::size_t n = (std::size_t{1} << 20) + 1;
  const std::size_t m = std::size_t{1} << 21;
  const auto input = randomSignal(n, 5);
  auto x = input;
  vb::fft(static_cast<unsigned>(n), x.data());
  for (std::size_t k : {0u, 1u, 12345u}) {
    std::complex<double> sum = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const double angle = -2 * 3.141592653589793 * static_cast<double>((j * k) % m) / m;
      sum += std::complex<double>(input[j].re, input[j].im) * std::polar(1.0, angle);
    }
    const std::complex<double> got(x[k].re, x[k].im);
    // Bins of this record are about sqrt(n) = 1000 in size.
    EXPECT_LE(std::abs(got - sum), 1e-6) << "bin " << k;
  }
  auto y = input;
  y.resize(std::size_t{1} << 20);
  const auto z = y;
  vb::fft_in(y, false);
  vb::fft_in(y, true);
  double worst = 0;
  for (std::size_t i = 0; i < y.size(); ++i) worst = std::max(worst, std::fabs(y[i].re - z[i].re));
  EXPECT_LE(worst, 1e-9);
}

TEST(ReverseBits, Table) {
  struct Case {
    int a, bits;
    std::int32_t expected;
  };
  const Case cases[] = {
      {1, 3, 4},    {6, 3, 3},    {-1, 3, 7},
      {5, 0, 0},    {5, -4, 0},   {1, 1, 1},
      {11, 4, 13},  {-2, 2, 1},   {1, 32, std::numeric_limits<std::int32_t>::min()},
      {-1, 32, -1}, {-1, 40, -1}, {0, 31, 0},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(vb::reverseBits(c.a, c.bits), c.expected) << c.a << " over " << c.bits << " bits";
  }
  // Over three bits the permutation pairs 1 with 4 and 3 with 6 and fixes the rest.
  const std::int32_t perm[] = {0, 4, 2, 6, 1, 5, 3, 7};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(vb::reverseBits(i, 3), perm[i]);
}

TEST(ComplexType, DefaultsToZeroAndCopiesFields) {
  const Complex z;
  EXPECT_EQ(z.re, 0.0);
  EXPECT_EQ(z.im, 0.0);
  Complex a(1.5, -2.5);
  Complex b = a;
  EXPECT_EQ(b.re, 1.5);
  EXPECT_EQ(b.im, -2.5);
  EXPECT_TRUE(std::has_virtual_destructor<Complex>::value);
}

}  // namespace
