// Window functions and the Welch-averaged frequency response of the vibration analysis.
#pragma once

#include <cstdint>

namespace vb {

// Window kind for WindowFunction. Any other value names no window and leaves the data unchanged.
enum WindowType : std::int32_t {
  Hanning = 1,
  FlatTop = 2,
  Hamming = 3,
};

// Multiplies data[0..n-1] in place by the periodic window of the given kind: sample i at
// t = i*dt over a length of T = n*dt, so its factor depends on i/n only (dt matters only through
// rounding). dt = 0 or not finite, n = 0 or an unknown kind leave the data unchanged.
// Real-time safe: no allocation, no scratch.
void WindowFunction(WindowType const& type, double const& dt, unsigned int const& n, double* data);

// H1 estimate of the response from x to y (N samples each, dt apart) by Welch averaging over the
// M = (N - L)/hop + 1 Hamming-windowed segments of length L: writes freq (Hz), amp, phase (rad)
// and coh for all L bins. L = 0, hop = 0, L > N, dt = 0 or not finite, or scratch that cannot be
// had leave every output untouched. Scratch is O(L) on the heap: not for the control thread.
void FRF(unsigned int const& N, double const& dt, unsigned int const& L, unsigned int const& hop,
         double* x, double* y, double* freq, double* amp, double* phase, double* coh);

}  // namespace vb
