// The simulated controller's ground truth (the text robot_sim --truth prints) and the check of an
// identification result against it.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace vb {
namespace tools {

struct TruthOrder {
  int order = 0;
  double freq_hz = 0.0;  // at the worst speed of the full speed grid
  double amp_deg_s = 0.0;
  double phase = 0.0;
  double current = 0.0;
  unsigned servo_word = 0;
};

struct TruthJoint {
  bool present = false;
  int pole_pairs = 0;
  int stator_slots = 0;
  int ratio = 0;
  double worst_deg_s = 0.0;
  std::vector<TruthOrder> orders;
};

using Truth = std::array<TruthJoint, 6>;

// Parses the header line and one line per joint:
// "J PP SS RATIO WORST | ORDER FREQ AMP PHASE CURRENT WORD | ...". False with a reason when the
// text has another shape.
bool parseTruth(const std::string& text, Truth* truth, std::string* error);

// One joint's result as the program reports it ("update" and "getJointParam").
struct JointResult {
  int pole_pairs = 0;
  int stator_slots = 0;
  int ratio = 0;
  double worst_speed_rad_s = 0.0;
  struct Order {
    double freq_hz = 0.0;
    double nominal = 0.0;
    double amp_before = 0.0;
    double amp_after = 0.0;
    double phase = 0.0;
    double current = 0.0;
    double servo_word = 0.0;
  } orders[3];
};

// Prints the truth next to the result and returns whether they agree: the motor data, every
// nominal order, phase, current and servo word exactly (to the scan grids), the frequency to
// one spectrum bin at the speed tested, the worst speed in normal mode, and a smaller
// amplitude after the compensation than before.
bool compareWithTruth(int joint, const JointResult& result, const TruthJoint& truth,
                      bool high_speed);

}  // namespace tools
}  // namespace vb
