// The test's fixed schedule: the control period, the travel and speeds of its moves, the grids of
// its scans and the mode that runs it for every joint. The component runs it; the operator client
// estimates a run's progress from it.
#pragma once

namespace vb {

// The control period; velocity errors of a test move are sampled at it.
constexpr double kSamplePeriod = 0.004;

// Every test move goes one travel out or back at its speed, with an acceleration of this many
// times its speed (radians, rad/s).
constexpr double kTravel = 0.17453292519943295;  // 10 deg
constexpr double kAccelerationPerSpeed = 20.0;

// The traversal's speed grid (rad/s); high-speed mode measures only the fastest.
constexpr double kSpeedStart = 0.008726646259971648;  // 0.5 deg/s
constexpr double kSpeedMax = 0.03490658503988659;     // 2 deg/s
constexpr double kSpeedStep = 0.0017453292519943296;  // 0.1 deg/s

// The scans' grids, in the drive's units: the phase at a fixed current, then the current.
constexpr double kPhaseScanCurrent = 1.2;
constexpr double kPhaseStart = 0.0;
constexpr double kPhaseMax = 6.2;
constexpr double kPhaseStep = 0.2;
constexpr double kCurrentStart = 0.0;
constexpr double kCurrentMax = 2.1;
constexpr double kCurrentStep = 0.3;

// The number of values of a grid as the stages form it: by repeated addition while not above the
// limit (so rounding decides whether the limit itself is reached).
constexpr int gridCount(double start, double limit, double step) {
  int n = 0;
  for (double v = start; !(v > limit); v += step) ++n;
  return n;
}

// The test mode that identifies every joint in turn; modes 0 to 5 identify one joint.
constexpr int kAllJointsMode = 99;

}  // namespace vb
