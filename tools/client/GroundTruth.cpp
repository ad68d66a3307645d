#include "GroundTruth.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace vb {
namespace tools {

namespace {

constexpr double kPi = 3.141592653589793;
// One bin of the test's 1024-point spectra at the 4 ms sample period, plus rounding.
constexpr double kFreqTolerance = 1.0 / (1024 * 0.004) + 0.01;
constexpr double kGridTolerance = 0.05;  // phases step 0.2, currents 0.3, speeds 0.1 deg/s

bool parseJointLine(const std::string& line, Truth* truth, std::string* error) {
  std::istringstream in(line);
  int joint = -1;
  TruthJoint t;
  if (!(in >> joint >> t.pole_pairs >> t.stator_slots >> t.ratio >> t.worst_deg_s) || joint < 0 ||
      joint >= static_cast<int>(truth->size())) {
    *error = "bad joint line: " + line;
    return false;
  }
  std::string bar;
  while (in >> bar) {
    TruthOrder o;
    if (bar != "|" ||
        !(in >> o.order >> o.freq_hz >> o.amp_deg_s >> o.phase >> o.current >> o.servo_word)) {
      *error = "bad order entry: " + line;
      return false;
    }
    t.orders.push_back(o);
  }
  t.present = true;
  (*truth)[joint] = t;
  return true;
}

}  // namespace

bool parseTruth(const std::string& text, Truth* truth, std::string* error) {
  std::istringstream in(text);
  std::string line;
  bool header = false;
  int joints = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (!header) {
      if (line.rfind("joint ", 0) != 0) {
        *error = "not robot_sim --truth output (no header line)";
        return false;
      }
      header = true;
      continue;
    }
    if (!parseJointLine(line, truth, error)) return false;
    ++joints;
  }
  if (joints == 0) {
    *error = "no joint lines";
    return false;
  }
  return true;
}

bool compareWithTruth(int joint, const JointResult& r, const TruthJoint& t, bool high_speed) {
  bool ok = true;
  std::printf("simulator's ground truth for joint %d:\n", joint);
  const bool motor_ok =
      r.pole_pairs == t.pole_pairs && r.stator_slots == t.stator_slots && r.ratio == t.ratio;
  std::printf("  motor data  pole pairs %d, stator slots %d, ratio %d%s\n", t.pole_pairs,
              t.stator_slots, t.ratio,
              motor_ok ? "" : "  MISMATCH: the program uses other motor data");
  ok = ok && motor_ok;
  // High-speed mode tests 2 deg/s only; the truth's worst speed is over the full grid.
  const double speed_deg_s = r.worst_speed_rad_s * 180.0 / kPi;
  if (!high_speed) {
    const bool speed_ok = std::fabs(speed_deg_s - t.worst_deg_s) < kGridTolerance;
    std::printf("  worst speed %.1f deg/s%s\n", t.worst_deg_s, speed_ok ? "" : "  MISMATCH");
    ok = ok && speed_ok;
  }
  std::printf("  %-5s %7s %10s %6s %7s %10s  %s\n", "order", "nominal", "freq_hz", "phase",
              "current", "servo_word", "check");
  for (int k = 0; k < 3; ++k) {
    const JointResult::Order& m = r.orders[k];
    if (k >= static_cast<int>(t.orders.size())) {
      std::printf("  %-5d %7s  MISMATCH: the simulator has no such order\n", k + 1, "-");
      ok = false;
      continue;
    }
    const TruthOrder& o = t.orders[k];
    // The frequency of the order at the speed the program found worst.
    const double freq =
        high_speed ? o.order * t.ratio * r.worst_speed_rad_s / (2 * kPi) : o.freq_hz;
    std::string why;
    if (std::lround(m.nominal) != o.order) why += " order";
    if (!(std::fabs(m.freq_hz - freq) <= kFreqTolerance)) why += " frequency";
    if (!(std::fabs(m.phase - o.phase) < kGridTolerance)) why += " phase";
    if (!(std::fabs(m.current - o.current) < kGridTolerance)) why += " current";
    if (std::llround(m.servo_word) != static_cast<long long>(o.servo_word)) why += " servo_word";
    if (!(m.amp_after < m.amp_before)) why += " amplitude-not-reduced";
    std::printf("  %-5d %7d %10.4f %6.1f %7.1f %10u  %s\n", k + 1, o.order, freq, o.phase,
                o.current, o.servo_word, why.empty() ? "ok" : ("MISMATCH:" + why).c_str());
    ok = ok && why.empty();
  }
  std::printf("%s\n", ok ? "result matches the simulator's ground truth"
                         : "result does NOT match the simulator's ground truth");
  return ok;
}

}  // namespace tools
}  // namespace vb
