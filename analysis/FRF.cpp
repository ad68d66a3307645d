#include "FRF.h"

#include <cmath>
#include <cstddef>
#include <new>
#include <optional>
#include <vector>

#include "FFT.h"

namespace vb {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double k2Pi = 6.283185307179586;
constexpr double k4Pi = 12.566370614359172;
constexpr double k6Pi = 18.84955592153876;
constexpr double k8Pi = 25.132741228718345;

// Below this a spectrum, a response part or a coherence denominator counts as zero.
constexpr double kEpsilon = 1e-4;

bool knownWindow(WindowType type) { return type == Hanning || type == FlatTop || type == Hamming; }

bool usableInterval(double dt) { return dt != 0.0 && std::isfinite(dt); }

// Window length as n whole sample intervals, n taken through a signed 32-bit integer.
double windowLength(unsigned int n, double dt) {
  return static_cast<double>(static_cast<std::int32_t>(n)) * dt;
}

// Factor of a known window at time t of a window of length T.
double windowFactor(WindowType type, double t, double T) {
  const double c1 = std::cos((k2Pi * t) / T);
  switch (type) {
    case Hanning:
      return 0.5 * (1.0 - c1);
    case Hamming:
      return 0.54 - c1 * 0.46;
    case FlatTop: {
      const double c2 = std::cos((k4Pi * t) / T);
      const double c3 = std::cos((k6Pi * t) / T);
      const double c4 = std::cos((k8Pi * t) / T);
      return ((1.0 - 1.93 * c1) + 1.29 * c2 - 0.388 * c3 + 0.0322 * c4) / 4.634;
    }
  }
  return 1.0;
}

// Phase of H = (a, b), snapped to 0, +-pi/2 or pi where a part is within the threshold. A real part
// of exactly +-1e-4 (or NaN) takes the near-zero rule.
double responsePhase(double a, double b) {
  if (a > kEpsilon) return std::fabs(b) < kEpsilon ? 0.0 : std::atan(b / a);
  if (a < -kEpsilon) {
    if (std::fabs(b) < kEpsilon) return kPi;
    const double t = std::atan(b / a);
    return t < 0.0 ? kPi + t : t - kPi;
  }
  if (b < -kEpsilon) return -kHalfPi;
  if (b > kEpsilon) return kHalfPi;
  return 0.0;
}

// Working memory of one FRF call: the window, one segment of each signal and the per-bin sums
// over the segments.
struct FrfScratch {
  explicit FrfScratch(unsigned int bins)
      : window(bins),
        sx(bins),
        sy(bins),
        gxx(bins),
        gyy(bins),
        gxyRe(bins),
        gxyIm(bins),
        gyxRe(bins),
        gyxIm(bins) {}
  std::vector<double> window;
  std::vector<Complex> sx, sy;
  std::vector<double> gxx, gyy, gxyRe, gxyIm, gyxRe, gyxIm;
};

}  // namespace

void WindowFunction(WindowType const& type, double const& dt, unsigned int const& n, double* data) {
  if (n == 0 || !usableInterval(dt) || !knownWindow(type)) return;
  const double T = windowLength(n, dt);
  for (unsigned int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) * dt;
    data[i] = windowFactor(type, t, T) * data[i];
  }
}

void FRF(unsigned int const& N, double const& dt, unsigned int const& L, unsigned int const& hop,
         double* x, double* y, double* freq, double* amp, double* phase, double* coh) {
  if (L == 0 || hop == 0 || L > N || !usableInterval(dt)) return;
  const unsigned int M = (N - L) / hop + 1;

  // The sums run segment by segment, so the scratch is a few arrays of L whatever M is.
  std::optional<FrfScratch> scratch;
  try {
    scratch.emplace(L);
  } catch (std::bad_alloc const&) {
    return;
  }
  FrfScratch& g = *scratch;
  std::vector<double>& window = g.window;
  std::vector<Complex>& sx = g.sx;
  std::vector<Complex>& sy = g.sy;

  const double T = windowLength(L, dt);
  for (unsigned int i = 0; i < L; ++i) {
    window[i] = windowFactor(Hamming, static_cast<double>(i) * dt, T);
  }

  const double length = static_cast<double>(L);
  for (unsigned int m = 0; m < M; ++m) {
    const std::size_t start = static_cast<std::size_t>(m) * hop;
    for (unsigned int i = 0; i < L; ++i) {
      sx[i] = Complex(window[i] * x[start + i], 0.0);
      sy[i] = Complex(window[i] * y[start + i], 0.0);
    }
    fft(L, sx.data());
    fft(L, sy.data());
    for (unsigned int k = 0; k < L; ++k) {
      const double xr = sx[k].re / length;
      const double xi = sx[k].im / length;
      const double yr = sy[k].re / length;
      const double yi = sy[k].im / length;
      g.gxx[k] += xr * xr + xi * xi;
      g.gyy[k] += yr * yr + yi * yi;
      g.gxyRe[k] += xr * yr + xi * yi;
      g.gxyIm[k] += xr * yi - xi * yr;
      g.gyxRe[k] += yr * xr + yi * xi;
      g.gyxIm[k] += yr * xi - yi * xr;
    }
  }

  const double segments = static_cast<double>(M);
  for (unsigned int k = 0; k < L; ++k) {
    const double gxx = g.gxx[k] / segments;
    const double gyy = g.gyy[k] / segments;
    const double gxyRe = g.gxyRe[k] / segments;
    const double gxyIm = g.gxyIm[k] / segments;
    const double gyxRe = g.gyxRe[k] / segments;
    const double gyxIm = g.gyxIm[k] / segments;

    freq[k] = (static_cast<double>(k) / length) / dt;

    double hr = 0.0;
    double hi = 0.0;
    if (std::fabs(gxx) < kEpsilon) {
      amp[k] = 0.0;
    } else {
      hr = gxyRe / gxx;
      hi = gxyIm / gxx;
      amp[k] = std::sqrt(hr * hr + hi * hi);
    }

    // The auto spectra are real, so the denominator is their product.
    const double d = gxx * gyy;
    coh[k] = std::fabs(d) < kEpsilon ? 0.0 : (gyxRe * gyxRe + gyxIm * gyxIm) / d;

    phase[k] = responsePhase(hr, hi);
  }
}

}  // namespace vb
