// Radix-2 transforms and peak pickers of the vibration analysis.
//
// Transform convention: forward transforms are unscaled, X[k] = sum_j x[j] e^(-2 pi i jk/n),
// bins in natural order (bin k of n samples dt apart lies at k/(n dt) Hz); the caller divides by
// the length when it wants amplitudes. The inverse of fft_in carries the 1/n.
//
// Every routine here is reentrant, keeps no state, takes no lock and prints nothing. The
// transforms and argmin never throw (a pad they cannot allocate leaves the data as it was); AMPD
// and VPD can throw only std::bad_alloc from their vectors. The pointer forms of fft, fft2, fft_in
// and fft2_in, AMPD (on a reserved output vector) and argmin are real-time safe for the lengths the
// control thread uses: a power-of-two n is transformed in place without scratch, and padding
// scratch up to 1024 points stays on the stack.
#pragma once

#include <cstdint>
#include <vector>

namespace vb {

// Complex value of the transforms: two doubles, no arithmetic operators; the routines work on
// the fields directly.
class Complex {
 public:
  Complex() = default;
  Complex(double real, double imag) : re(real), im(imag) {}
  Complex(Complex const&) = default;
  Complex& operator=(Complex const&) = default;
  virtual ~Complex();

  double re = 0.0;
  double im = 0.0;
};

// Forward transform of x[0..n-1] extended with zeros to m = 2^ceil(ln n / ln 2) points; the first
// n bins are written back and x[n..] is never touched. n = 0 does nothing.
void fft(unsigned int const& n, Complex* x);

// In-place transform of x[0..n-1], n a power of two: forward (unscaled) or inverse (scaled by
// 1/n, a factor 0.5 per level). Any other n leaves x unchanged.
void fft_in(unsigned int const& n, Complex* x, bool const& inverse);

// Same result as fft, computed by the iterative transform.
void fft2(unsigned int const& n, Complex* x);

// In-place iterative forward transform with bit-reversal permutation, n a power of two; any
// other n leaves x unchanged.
void fft2_in(unsigned int const& n, Complex* x);

// Vector forms. fft transforms at m = 2^(floor(log2 n) + 1): a power-of-two size is transformed
// at twice its length, so the caller gets half-bin spacing over the lower half of the range.
void fft(std::vector<Complex>& v);
// fft_in and fft2_in leave a vector whose size is not a power of two unchanged.
void fft_in(std::vector<Complex>& v, bool const& inverse);
// fft2 transforms at the size itself when it is a power of two, else at the next one above.
void fft2(std::vector<Complex>& v);
void fft2_in(std::vector<Complex>& v);

// The low `bits` bits of a in reverse order; 0 when bits <= 0.
std::int32_t reverseBits(int a, int bits);

// Empties peaks, then lists the positions of the strict local maxima of x in ascending order.
// The first and last sample are never listed. Allocates only when peaks must grow.
void AMPD(std::vector<double> const& x, std::vector<unsigned int>& peaks);

// Smoothed valley-paired peak picker for noisy sequences. Appends the selected positions to
// peaks without emptying it first. Works on heap copies; not for the control thread.
void VPD(std::vector<double> const& x, std::vector<unsigned int>& peaks);

// Position of the smallest element; ties go to the later position; 0 for at most one element.
std::int32_t argmin(std::vector<int> const& v);

}  // namespace vb
