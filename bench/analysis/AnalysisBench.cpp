// Timings of the 1024-point transform the control thread uses, next to FFTW's plan for the same
// transform, and of one spectrum of the size the test computes: 15 Hamming-windowed segments of
// 1024 samples, transformed and averaged.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "FFT.h"
#include "FRF.h"

namespace {

constexpr unsigned kPoints = 1024;
constexpr unsigned kSegments = 15;
constexpr unsigned kHop = kPoints / 2;
constexpr unsigned kRecord = kHop * (kSegments + 1);  // 8192 samples: 15 half-overlapping segments
constexpr double kDt = 0.004;

std::vector<vb::Complex> signal(unsigned n) {
  std::mt19937_64 gen(42);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<vb::Complex> x(n);
  for (auto& v : x) v = vb::Complex(dist(gen), dist(gen));
  return x;
}

std::vector<double> record() {
  std::mt19937_64 gen(43);
  std::normal_distribution<double> dist(0.0, 0.5);
  std::vector<double> r(kRecord);
  for (unsigned i = 0; i < kRecord; ++i) r[i] = std::sin(0.37 * i) + dist(gen);
  return r;
}

// Forward transforms are unscaled and in place, so every run starts from a fresh copy.
void copyOnly(benchmark::State& state) {
  const auto input = signal(kPoints);
  std::vector<vb::Complex> x(kPoints);
  for (auto _ : state) {
    std::copy(input.begin(), input.end(), x.begin());
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(copyOnly)->Name("copy_1024");

template <void (*Transform)(unsigned int const&, vb::Complex*)>
void vbTransform(benchmark::State& state) {
  const auto input = signal(kPoints);
  std::vector<vb::Complex> x(kPoints);
  for (auto _ : state) {
    std::copy(input.begin(), input.end(), x.begin());
    Transform(kPoints, x.data());
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(vbTransform<vb::fft>)->Name("vb_fft_1024 (copy + transform)");
BENCHMARK(vbTransform<vb::fft2>)->Name("vb_fft2_1024 (copy + transform)");

struct FftwBuffers {
  FftwBuffers() : in(fftw_alloc_complex(kPoints)), out(fftw_alloc_complex(kPoints)) {
    const auto x = signal(kPoints);
    for (unsigned i = 0; i < kPoints; ++i) {
      source[i][0] = x[i].re;
      source[i][1] = x[i].im;
    }
  }
  ~FftwBuffers() {
    fftw_free(in);
    fftw_free(out);
  }
  FftwBuffers(FftwBuffers const&) = delete;
  FftwBuffers& operator=(FftwBuffers const&) = delete;
  void load() { std::memcpy(in, source, sizeof source); }
  fftw_complex source[kPoints];
  fftw_complex* in;
  fftw_complex* out;
};

void fftwOutOfPlace(benchmark::State& state) {
  FftwBuffers b;
  fftw_plan plan = fftw_plan_dft_1d(kPoints, b.in, b.out, FFTW_FORWARD, FFTW_MEASURE);
  b.load();  // planning with FFTW_MEASURE overwrites the arrays
  for (auto _ : state) {
    fftw_execute(plan);
    benchmark::DoNotOptimize(b.out);
    benchmark::ClobberMemory();
  }
  fftw_destroy_plan(plan);
}
BENCHMARK(fftwOutOfPlace)->Name("fftw_1024 (out of place)");

void fftwInPlace(benchmark::State& state) {
  FftwBuffers b;
  fftw_plan plan = fftw_plan_dft_1d(kPoints, b.in, b.in, FFTW_FORWARD, FFTW_MEASURE);
  for (auto _ : state) {
    b.load();
    fftw_execute(plan);
    benchmark::DoNotOptimize(b.in);
    benchmark::ClobberMemory();
  }
  fftw_destroy_plan(plan);
}
BENCHMARK(fftwInPlace)->Name("fftw_1024 (copy + in place)");

// The test's spectrum: per segment a Hamming window, a 1024-point transform, division by the
// length, and the mean of the magnitudes over the segments for the lower half of the bins.
template <class Transform>
void spectrum(benchmark::State& state, Transform transform) {
  const auto samples = record();
  std::vector<double> segment(kPoints);
  std::vector<double> amp(kPoints / 2);
  for (auto _ : state) {
    std::fill(amp.begin(), amp.end(), 0.0);
    for (unsigned s = 0; s < kSegments; ++s) {
      std::copy_n(samples.begin() + s * kHop, kPoints, segment.begin());
      vb::WindowFunction(vb::Hamming, kDt, kPoints, segment.data());
      transform(segment, amp);
    }
    for (auto& a : amp) a /= kSegments;
    benchmark::DoNotOptimize(amp.data());
    benchmark::ClobberMemory();
  }
}

void vbSpectrum(benchmark::State& state) {
  std::vector<vb::Complex> bins(kPoints);
  spectrum(state, [&](std::vector<double> const& segment, std::vector<double>& amp) {
    for (unsigned i = 0; i < kPoints; ++i) bins[i] = vb::Complex(segment[i], 0.0);
    vb::fft(kPoints, bins.data());
    for (unsigned i = 0; i < kPoints / 2; ++i) {
      const double re = bins[i].re / kPoints;
      const double im = bins[i].im / kPoints;
      amp[i] += std::sqrt(re * re + im * im);
    }
  });
}
BENCHMARK(vbSpectrum)->Name("spectrum_hamming_15x1024 (vb::fft)");

void fftwSpectrum(benchmark::State& state) {
  FftwBuffers b;
  fftw_plan plan = fftw_plan_dft_1d(kPoints, b.in, b.in, FFTW_FORWARD, FFTW_MEASURE);
  spectrum(state, [&](std::vector<double> const& segment, std::vector<double>& amp) {
    for (unsigned i = 0; i < kPoints; ++i) {
      b.in[i][0] = segment[i];
      b.in[i][1] = 0.0;
    }
    fftw_execute(plan);
    for (unsigned i = 0; i < kPoints / 2; ++i) {
      const double re = b.in[i][0] / kPoints;
      const double im = b.in[i][1] / kPoints;
      amp[i] += std::sqrt(re * re + im * im);
    }
  });
  fftw_destroy_plan(plan);
}
BENCHMARK(fftwSpectrum)->Name("spectrum_hamming_15x1024 (fftw)");

void windowOnly(benchmark::State& state) {
  const auto samples = record();
  std::vector<double> segment(kPoints);
  for (auto _ : state) {
    for (unsigned s = 0; s < kSegments; ++s) {
      std::copy_n(samples.begin() + s * kHop, kPoints, segment.begin());
      vb::WindowFunction(vb::Hamming, kDt, kPoints, segment.data());
      benchmark::DoNotOptimize(segment.data());
    }
    benchmark::ClobberMemory();
  }
}
BENCHMARK(windowOnly)->Name("hamming_15x1024 (window alone)");

}  // namespace

BENCHMARK_MAIN();
