#pragma once
// An independent, compact re-statement of how the test program measures a joint (its spectrum,
// traversal and scans), driven straight on a RobotModel. The simulator's tests use it to show
// that the model's ground truth is what a correct identification finds.

#include <vector>

#include "sim/RobotModel.h"

namespace vb::sim::testing {

// Mean amplitude spectrum of Hamming-windowed, length-normalised segments: N is the largest
// power of two not above the sample count, segments of min(N, 1024) overlap by half.
struct Spectrum {
  double bin_hz = 0.0;
  std::vector<double> amp;  // bins 0 .. L/2 - 1
};
Spectrum meanAmplitudeSpectrum(const std::vector<double>& samples, double dt);
std::vector<size_t> localMaxima(const std::vector<double>& amp);
// Amplitude of the bin nearest f, lower bin on a tie; bin 0 never counts.
double amplitudeAt(const Spectrum& s, double f);

// One outward (travel > 0) or return move of joint j at speed v with a = 20 v, stepped cycle by
// cycle as the program does: one cycle to start it, then one poll per cycle, a sample
// (actual - target, deg/s) in every cycle in which the task reports running.
std::vector<double> sampledMove(RobotModel& m, int joint, double target, double v);

// Writes the three slots' words (order 0 skipped) and applies them, as the servo writes do.
void applyCompensation(RobotModel& m, int joint, const int orders[3], const double phases[3],
                       const double currents[3]);

struct Identified {
  double worst_speed = 0.0;  // rad/s
  double freq[3] = {0, 0, 0};
  int feat_order[3] = {0, 0, 0};
  double amp[3] = {0, 0, 0};
  double phase[3] = {0, 0, 0};
  double current[3] = {0, 0, 0};
  double residual[3] = {0, 0, 0};  // amplitudes with the identified compensation applied
  // How clearly each choice was made (1 is a tie): the worst speed's amplitude over the best of
  // every other speed; per slot, the worst speed's amplitude over the threshold it had to beat,
  // and the second smallest residual of each scan over the smallest.
  double worst_margin = 0.0;
  double slot_margin[3] = {0, 0, 0};
  double phase_margin[3] = {0, 0, 0};
  double current_margin[3] = {0, 0, 0};
};
Identified identify(RobotModel& m, int joint);

}  // namespace vb::sim::testing
