// Velocity-error spectra: Hamming-windowed 1024-point (at most) segments, overlapping by half,
// transformed and averaged into one mean amplitude spectrum.
//
// The segments are transformed one after another and their magnitudes summed per bin, so the
// scratch is one segment long whatever the record length: a few tens of kilobytes, kept per thread
// and reused, never on the control thread's stack. After the first call on a thread neither
// operation allocates, except for the growth of the caller's output vectors.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "FFT.h"
#include "FRF.h"
#include "VibrationTestHandler.h"

namespace vb {
namespace {

constexpr unsigned kMaxSegment = 1024;

struct SpectrumScratch {
  std::vector<double> segment = std::vector<double>(kMaxSegment);
  std::vector<Complex> bins = std::vector<Complex>(kMaxSegment);
  std::vector<double> amp = std::vector<double>(kMaxSegment / 2);
};

SpectrumScratch& scratch() {
  thread_local SpectrumScratch reused;
  return reused;
}

// Computes the mean amplitude spectrum of the samples into scratch().amp[0 .. L/2 - 1] and
// returns the segment length L; 0 when there is no spectrum (fewer than two samples or a sample
// period that is not positive), with nothing computed.
unsigned meanAmplitudeSpectrum(std::vector<double> const& samples, double dt) {
  if (samples.size() < 2 || !(dt > 0.0)) return 0;
  auto const n = static_cast<std::uint32_t>(
      std::min<std::size_t>(samples.size(), std::numeric_limits<std::uint32_t>::max()));
  auto p = static_cast<std::uint32_t>(std::log(static_cast<double>(n)) / 0.6931471805599453);
  if (p == 0) p = 1;  // the rule's N = L = 2 for p = 0
  std::uint32_t const used = 1u << p;
  std::uint32_t const length = p <= 10 ? used : kMaxSegment;
  std::uint32_t const hop = length / 2;
  std::uint32_t const segments = (used - length) / hop + 1;

  SpectrumScratch& s = scratch();
  std::fill(s.amp.begin(), s.amp.begin() + hop, 0.0);
  WindowType const window = Hamming;
  double const scale = static_cast<double>(length);
  for (std::uint32_t seg = 0; seg < segments; ++seg) {
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(seg) * hop, length,
                s.segment.begin());
    WindowFunction(window, dt, length, s.segment.data());
    for (std::uint32_t i = 0; i < length; ++i) {
      s.bins[i].re = s.segment[i];
      s.bins[i].im = 0.0;
    }
    fft(length, s.bins.data());
    // Mean of the magnitudes, summed over the segments in order.
    for (std::uint32_t i = 0; i < hop; ++i) {
      double const re = s.bins[i].re / scale;
      double const im = s.bins[i].im / scale;
      s.amp[i] += std::sqrt(re * re + im * im);
    }
  }
  for (std::uint32_t i = 0; i < hop; ++i) s.amp[i] /= static_cast<double>(segments);
  return length;
}

double binFrequency(std::uint32_t bin, std::uint32_t length, double dt) {
  return (static_cast<double>(bin) / static_cast<double>(length)) / dt;
}

}  // namespace

void VibrationTestHandler::velocityErrorAnalysis(std::vector<double> const& samples,
                                                 double const& dt, std::vector<double>& freq,
                                                 std::vector<double>& amp,
                                                 std::vector<unsigned int>& peaks) {
  freq.clear();
  amp.clear();
  peaks.clear();
  std::uint32_t const length = meanAmplitudeSpectrum(samples, dt);
  if (length == 0) return;
  SpectrumScratch const& s = scratch();
  for (std::uint32_t i = 0; i < length / 2; ++i) {
    freq.push_back(binFrequency(i, length, dt));
    amp.push_back(s.amp[i]);
  }
  AMPD(amp, peaks);
}

void VibrationTestHandler::velocityErrorAnalysisSpecific(std::vector<double> const& samples,
                                                         double const& dt, double const& freq1,
                                                         double& amp1, double const& freq2,
                                                         double& amp2, double const& freq3,
                                                         double& amp3) {
  std::uint32_t const length = meanAmplitudeSpectrum(samples, dt);
  if (length == 0) return;
  SpectrumScratch const& s = scratch();
  double const* const target[3] = {&freq1, &freq2, &freq3};
  double* const result[3] = {&amp1, &amp2, &amp3};
  // Nearest bin per target; a bin must be strictly nearer than 0 Hz, so bin 0 never wins and a
  // target at or below half the bin spacing (or NaN) leaves its amplitude as it was.
  double best[3] = {0.0, 0.0, 0.0};
  for (std::uint32_t i = 0; i < length / 2; ++i) {
    double const f = binFrequency(i, length, dt);
    for (int k = 0; k < 3; ++k) {
      if (std::fabs(*target[k] - best[k]) > std::fabs(*target[k] - f)) {
        *result[k] = s.amp[i];
        best[k] = f;
      }
    }
  }
}

}  // namespace vb
