#include "FFT.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

namespace vb {

Complex::~Complex() {}

namespace {

constexpr double kLn2 = 0.6931471805599453;
constexpr double kPi = 3.141592653589793;

// Padding scratch of up to 1024 points (16 KiB) stays on the caller's stack so that the control
// thread never allocates; longer pads go to the heap.
constexpr std::uint64_t kStackPoints = 1024;
constexpr std::uint64_t kMaxPoints = std::uint64_t{1} << 31;
// Levels up to this half size (those of transforms up to 1024 points) take their twiddles from a
// table built once; longer levels carry them along as they go.
constexpr std::uint64_t kTabledHalf = 512;

// Scratch element: the fields of Complex without its vtable pointer.
struct Point {
  double re;
  double im;
};

bool isPowerOfTwo(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// 2 raised to e as the length rules compute it; 0 when e is no exponent of a 32-bit length.
std::uint64_t powerOfTwo(double e) {
  if (!(e >= 0.0 && e <= 31.0)) return 0;
  return static_cast<std::uint32_t>(std::pow(2.0, static_cast<std::uint32_t>(e)));
}

double log2Ratio(std::uint64_t n) { return std::log(static_cast<double>(n)) / kLn2; }

template <class C>
void swapValues(C& a, C& b) {
  const double re = a.re;
  const double im = a.im;
  a.re = b.re;
  a.im = b.im;
  b.re = re;
  b.im = im;
}

// Twiddles of one level of half size h: the angle -pi/h (+pi/h inverse) computed once, and w
// carried from (1, 0) by complex multiplication, never recomputed from its index.
class TwiddleWalk {
 public:
  TwiddleWalk(bool inverse, std::uint64_t h) {
    const double theta = (inverse ? kPi : -kPi) / static_cast<double>(h);
    c_ = std::cos(theta);
    s_ = std::sin(theta);
  }
  double re() const { return wr_; }
  double im() const { return wi_; }
  void advance() {
    const double nr = wr_ * c_ - wi_ * s_;
    wi_ = wr_ * s_ + wi_ * c_;
    wr_ = nr;
  }

 private:
  double c_ = 1.0;
  double s_ = 0.0;
  double wr_ = 1.0;
  double wi_ = 0.0;
};

// The walks of the levels up to kTabledHalf; level h holds its w_0 .. w_(h-1) from index h - 1.
// The sequence of a level depends on nothing but h and the direction, so a stored walk gives the
// values a fresh one would. Without the serial recurrence in the loop the butterflies of a level
// are independent, which is most of the speed of the short transforms.
struct TwiddleTable {
  TwiddleTable() {
    for (std::uint64_t h = 1; h <= kTabledHalf; h *= 2) {
      TwiddleWalk forwardWalk(false, h);
      TwiddleWalk inverseWalk(true, h);
      for (std::uint64_t k = 0; k < h; ++k) {
        forward[h - 1 + k] = Point{forwardWalk.re(), forwardWalk.im()};
        inverse[h - 1 + k] = Point{inverseWalk.re(), inverseWalk.im()};
        forwardWalk.advance();
        inverseWalk.advance();
      }
    }
  }
  Point forward[2 * kTabledHalf - 1];
  Point inverse[2 * kTabledHalf - 1];
};

// Built in place on first use (static storage, no allocation).
TwiddleTable const& twiddleTable() {
  static const TwiddleTable table;
  return table;
}

// Built at load time, so that no transform on the control thread pays for it.
[[maybe_unused]] TwiddleTable const& kTwiddlesAtLoad = twiddleTable();

// t = w * bottom; top + t and top - t, both halved for the inverse.
template <bool Inverse, class C>
void butterfly(C& top, C& bottom, double wr, double wi) {
  const double tr = bottom.re * wr - bottom.im * wi;
  const double ti = bottom.im * wr + bottom.re * wi;
  const double er = top.re;
  const double ei = top.im;
  top.re = er + tr;
  top.im = ei + ti;
  bottom.re = er - tr;
  bottom.im = ei - ti;
  if (Inverse) {
    top.re *= 0.5;
    top.im *= 0.5;
    bottom.re *= 0.5;
    bottom.im *= 0.5;
  }
}

// Radix-2 decimation in time over n points, n a power of two, in place. The butterflies and the
// twiddles are those of the recursive even/odd split, with both outputs halved at every level of
// the inverse; running the levels in turn after the bit-reversal permutation computes the same
// values without recursion or scratch.
template <bool Inverse, class C>
void radix2(std::uint64_t n, C* x) {
  // r runs through the bit reversals of i by a reversed-carry increment.
  std::uint64_t r = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (r < i) swapValues(x[i], x[r]);
    std::uint64_t bit = n >> 1;
    while (r & bit) {
      r ^= bit;
      bit >>= 1;
    }
    r |= bit;
  }
  for (std::uint64_t h = 1; h < n; h *= 2) {
    if (h <= kTabledHalf) {
      Point const* w = (Inverse ? twiddleTable().inverse : twiddleTable().forward) + (h - 1);
      for (std::uint64_t p = 0; p < n; p += 2 * h) {
        for (std::uint64_t k = 0; k < h; ++k)
          butterfly<Inverse>(x[p + k], x[p + k + h], w[k].re, w[k].im);
      }
      continue;
    }
    for (std::uint64_t p = 0; p < n; p += 2 * h) {
      TwiddleWalk w(Inverse, h);
      for (std::uint64_t k = 0; k < h; ++k) {
        butterfly<Inverse>(x[p + k], x[p + k + h], w.re(), w.im());
        w.advance();
      }
    }
  }
}

// Forward transform of x[0..n-1] extended with zeros to m points; the first n bins go back to x.
// A length the rules could not give, or a pad that cannot be had, leaves x unchanged.
void forwardPadded(std::uint64_t n, Complex* x, std::uint64_t m) {
  if (n == 0 || m < n || !isPowerOfTwo(m) || m > kMaxPoints) return;
  if (m == n) {
    // The transform reads every value before it writes any, so x itself serves as the pad.
    radix2<false>(n, x);
    return;
  }
  Point local[kStackPoints];
  std::unique_ptr<Point[]> heap;
  Point* pad = local;
  if (m > kStackPoints) {
    heap.reset(new (std::nothrow) Point[m]);
    if (!heap) return;
    pad = heap.get();
  }
  for (std::uint64_t i = 0; i < n; ++i) pad[i] = Point{x[i].re, x[i].im};
  for (std::uint64_t i = n; i < m; ++i) pad[i] = Point{0.0, 0.0};
  radix2<false>(m, pad);
  for (std::uint64_t i = 0; i < n; ++i) {
    x[i].re = pad[i].re;
    x[i].im = pad[i].im;
  }
}

// Length rule of the pointer front ends: 2^ceil(ln n / ln 2), the smallest power of two not below
// n for every n up to 2^28 (a power of two above that can give 2n).
std::uint64_t ceilLength(std::uint64_t n) { return powerOfTwo(std::ceil(log2Ratio(n))); }

bool fitsLength(std::size_t n) { return n <= std::numeric_limits<unsigned int>::max(); }

}  // namespace

void fft(unsigned int const& n, Complex* x) {
  if (n == 0) return;
  forwardPadded(n, x, ceilLength(n));
}

void fft_in(unsigned int const& n, Complex* x, bool const& inverse) {
  if (n < 2 || !isPowerOfTwo(n)) return;
  if (inverse) {
    radix2<true>(n, x);
  } else {
    radix2<false>(n, x);
  }
}

void fft2(unsigned int const& n, Complex* x) {
  if (n == 0) return;
  forwardPadded(n, x, ceilLength(n));
}

void fft2_in(unsigned int const& n, Complex* x) {
  if (!isPowerOfTwo(n)) return;
  radix2<false>(n, x);
}

void fft(std::vector<Complex>& v) {
  if (v.empty() || !fitsLength(v.size())) return;
  // No test for an exact power of two: such a size is transformed at twice its length.
  forwardPadded(v.size(), v.data(), powerOfTwo(std::floor(log2Ratio(v.size())) + 1.0));
}

void fft_in(std::vector<Complex>& v, bool const& inverse) {
  if (!fitsLength(v.size())) return;
  fft_in(static_cast<unsigned int>(v.size()), v.data(), inverse);
}

void fft2(std::vector<Complex>& v) {
  if (v.empty() || !fitsLength(v.size())) return;
  const double p = std::floor(log2Ratio(v.size()));
  const std::uint64_t m = v.size() == powerOfTwo(p) ? v.size() : powerOfTwo(p + 1.0);
  forwardPadded(v.size(), v.data(), m);
}

void fft2_in(std::vector<Complex>& v) {
  if (!fitsLength(v.size())) return;
  fft2_in(static_cast<unsigned int>(v.size()), v.data());
}

std::int32_t reverseBits(int a, int bits) {
  if (bits <= 0) return 0;
  // Unsigned, so that more than 31 bits wrap instead of overflowing.
  std::uint32_t r = 0;
  for (int i = 0; i < bits; ++i) {
    r = (r << 1) | (static_cast<std::uint32_t>(a) & 1u);
    a >>= 1;
  }
  return static_cast<std::int32_t>(r);
}

void AMPD(std::vector<double> const& x, std::vector<unsigned int>& peaks) {
  peaks.clear();
  for (std::size_t i = 1; i + 1 < x.size(); ++i) {
    if (x[i] > x[i - 1] && x[i] > x[i + 1]) peaks.push_back(static_cast<unsigned int>(i));
  }
}

void VPD(std::vector<double> const& x, std::vector<unsigned int>& peaks) {
  const std::size_t n = x.size();
  if (n < 3) return;

  // Twice a three-point moving average; the end samples keep their raw values.
  std::vector<double> a(x);
  std::vector<double> b(x);
  for (std::size_t i = 1; i + 1 < n; ++i) b[i] = (a[i - 1] + a[i] + a[i + 1]) / 3;
  for (std::size_t i = 1; i + 1 < n; ++i) a[i] = (b[i - 1] + b[i] + b[i + 1]) / 3;

  // A peak needs a strict rise before it and no rise after it; a valley strict falls both sides.
  std::vector<double> peakValue(n, 0.0);
  std::vector<std::size_t> peakPos(n, 0);
  std::vector<double> valleyValue(n, 0.0);
  std::vector<std::size_t> valleyPos(n, 0);
  std::size_t np = 0;
  std::size_t nv = 0;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    if (a[i] > a[i - 1] && a[i] >= a[i + 1]) {
      peakValue[np] = a[i];
      peakPos[np] = i;
      ++np;
    }
    if (a[i] < a[i - 1] && a[i] < a[i + 1]) {
      valleyValue[nv] = a[i];
      valleyPos[nv] = i;
      ++nv;
    }
  }

  // A first peak with no valley before it has nothing to rise from; afterwards peak k pairs with
  // valley k (missing valleys count as 0).
  const std::size_t first = (np == 1 || (np >= 2 && nv >= 2 && valleyPos[0] > peakPos[0])) ? 1 : 0;
  std::size_t count = np - first;
  if (count < 2) return;

  std::vector<double> rise(count + 1, 0.0);
  std::vector<std::size_t> pos(count);
  for (std::size_t k = 0; k < count; ++k) {
    rise[k] = peakValue[k + first] - valleyValue[k];
    pos[k] = peakPos[k + first];
  }

  // Each pass judges every peak but the first against its neighbours as they stood at the start
  // of the pass, then removes the marked ones together.
  std::vector<char> marked(count, 0);
  for (;;) {
    for (std::size_t k = 1; k < count; ++k) {
      marked[k] = rise[k] <= (rise[k - 1] + rise[k] + rise[k + 1]) * 0.7 / 3;
    }
    std::size_t kept = 0;
    for (std::size_t k = 0; k < count; ++k) {
      if (k > 0 && marked[k]) continue;
      rise[kept] = rise[k];
      pos[kept] = pos[k];
      ++kept;
    }
    const bool removed = kept != count;
    count = kept;
    rise[count] = 0.0;
    if (!removed) break;
  }

  for (std::size_t k = 0; k < count; ++k) peaks.push_back(static_cast<unsigned int>(pos[k]));
}

std::int32_t argmin(std::vector<int> const& v) {
  if (v.size() <= 1) return 0;
  int least = v[0];
  std::size_t at = 0;
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i] <= least) {
      least = v[i];
      at = i;
    }
  }
  return static_cast<std::int32_t>(at);
}

}  // namespace vb
