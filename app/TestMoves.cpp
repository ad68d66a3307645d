#include "TestMoves.h"

#include <cmath>

#include "OvraCobot.h"
#include "VibrationTestHandler.h"

namespace vb {
namespace {

constexpr int kTaskRunning = 1;
constexpr int kTaskFinished = 4;
constexpr int kTaskError = 6;

// Acceleration of every test move, relative to its speed.
constexpr double kAccelerationPerSpeed = 20.0;

// Reused lists of the control thread, so that a cycle's requests do not allocate once they have
// grown to the joint count.
struct MoveLists {
  std::vector<double> target;
  std::vector<double> actual_speed;
  std::vector<double> target_speed;
};

MoveLists& lists() {
  thread_local MoveLists reused;
  return reused;
}

}  // namespace

bool startOutwardMove(OvraRPC::OvraCobot& cobot, unsigned joint, double travel, double speed,
                      std::vector<double>& start_joints, int& ret) {
  cobot.get_actual_joints_position(start_joints);
  if (start_joints.size() <= joint) return false;
  std::vector<double>& target = lists().target;
  target.assign(start_joints.begin(), start_joints.end());
  target[joint] += travel;
  ret = cobot.movej2(target, speed, kAccelerationPerSpeed * speed, 0.0, false,
                     OvraRPC::OvraCobot::op_);
  return true;
}

void startReturnMove(OvraRPC::OvraCobot& cobot, std::vector<double> const& start_joints,
                     double speed, int& ret) {
  ret = cobot.movej2(start_joints, speed, kAccelerationPerSpeed * speed, 0.0, false,
                     OvraRPC::OvraCobot::op_);
}

MovePoll pollTestMove(OvraRPC::OvraCobot& cobot, int ret, unsigned joint, double speed,
                      std::vector<double>& samples) {
  // Each comparison asks the controller afresh, as the task may end between two queries.
  if (cobot.get_noneblock_taskstate(ret) == kTaskRunning) {
    MoveLists& l = lists();
    cobot.get_actual_joints_speed(l.actual_speed);
    cobot.get_target_joints_speed(l.target_speed);
    if (l.actual_speed.size() <= joint || l.target_speed.size() <= joint) return MovePoll::kWaiting;
    double const actual = l.actual_speed[joint];
    double const target = l.target_speed[joint];
    double const error = (actual - target) * 180.0 / 3.141592653589793;
    // One-sided on purpose: ramps and standstill count while the task is reported running.
    if (std::fabs(target) - speed < 0.001) samples.push_back(error);
    return MovePoll::kWaiting;
  }
  if (cobot.get_noneblock_taskstate(ret) == kTaskFinished) return MovePoll::kFinished;
  if (cobot.get_noneblock_taskstate(ret) == kTaskError) return MovePoll::kFailed;
  return MovePoll::kWaiting;
}

double rootMeanSquare(std::vector<double> const& samples) {
  if (samples.empty()) return 0.0;
  double sum = 0.0;
  for (double e : samples) sum += e * e;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

std::vector<double> reservedSamples() {
  std::vector<double> v;
  v.reserve(16384);
  return v;
}

std::vector<double> reservedSpectrum() {
  std::vector<double> v;
  v.reserve(512);
  return v;
}

StepResult applyCompensation(VibrationTestHandler& component, unsigned char joint,
                             double const phase[3], double const current[3]) {
  unsigned const j = joint;
  if (j >= VibrationTestHandler::kJoints) return StepResult::kFailed;
  bool done = false;
  int const r =
      component.setPhaseAndCurrent(true, done, joint, component.first_feat_order[j], phase[0],
                                   current[0], component.second_feat_order[j], phase[1], current[1],
                                   component.third_feat_order[j], phase[2], current[2]);
  if (r != 0) return StepResult::kFailed;
  if (!done) return StepResult::kStay;
  unsigned int const no_order = 0;
  double const zero = 0.0;
  component.setPhaseAndCurrent(false, done, joint, no_order, zero, zero, no_order, zero, zero,
                               no_order, zero, zero);
  return StepResult::kDone;
}

}  // namespace vb
