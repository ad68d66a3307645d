#include "TestMoves.h"

#include <cmath>

#include "ControlOutput.h"
#include "OvraCobot.h"
#include "VibrationTestHandler.h"

namespace vb {
namespace {

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

long movePollLimit(double travel, double speed) {
  constexpr double kLongest = 86400.0;  // a day: no test move comes near it
  double const nominal = std::fabs(travel) / speed + 1.0 / kAccelerationPerSpeed;
  double seconds = 3.0 * nominal + 10.0;
  if (!(seconds <= kLongest)) {
    seconds = kLongest;  // NaN and the infinity of speed 0 too
  } else if (seconds < 10.0) {
    seconds = 10.0;  // a negative speed
  }
  return static_cast<long>(std::ceil(seconds / kSamplePeriod));
}

namespace {

void startMove(OvraRPC::OvraCobot& cobot, std::vector<double> const& target, double travel,
               double speed, TestMove& move) {
  move.start(cobot.movej2(target, speed, kAccelerationPerSpeed * speed, 0.0, false,
                          OvraRPC::OvraCobot::op_),
             movePollLimit(travel, speed));
}

}  // namespace

bool startOutwardMove(OvraRPC::OvraCobot& cobot, unsigned joint, double travel, double speed,
                      std::vector<double>& start_joints, TestMove& move) {
  cobot.get_actual_joints_position(start_joints);
  if (start_joints.size() <= joint) return false;
  std::vector<double>& target = lists().target;
  target.assign(start_joints.begin(), start_joints.end());
  target[joint] += travel;
  startMove(cobot, target, travel, speed, move);
  return true;
}

void startReturnMove(OvraRPC::OvraCobot& cobot, std::vector<double> const& start_joints,
                     double travel, double speed, TestMove& move) {
  startMove(cobot, start_joints, travel, speed, move);
}

MovePoll pollTestMove(OvraRPC::OvraCobot& cobot, TestMove& move, unsigned joint, double speed,
                      std::vector<double>& samples) {
  switch (pollTask(cobot, move, PollKind::kMove)) {
    case TaskPoll::kRunning:
      break;
    case TaskPoll::kWaiting:
      return MovePoll::kWaiting;
    case TaskPoll::kFinished:
      return MovePoll::kFinished;
    case TaskPoll::kFailed:
      return MovePoll::kFailed;
  }
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

namespace {

// "<task> <what happened>", or the cause alone when there is no task fault.
void writeCause(OutputLine& line, char const* what, TaskFault fault, double limit_s) {
  line << (what ? what : "?");
  switch (fault) {
    case TaskFault::kNotStarted:
      line << " could not be started";
      break;
    case TaskFault::kError:
      line << " reported an error";
      break;
    case TaskFault::kTimedOut:
      line << " did not finish within " << limit_s << " s";
      break;
    case TaskFault::kNone:
      break;
  }
  line << '\n';
}

}  // namespace

void reportFailure(MachineFailure& failure, char const* machine, unsigned joint) {
  if (failure.reported) return;
  failure.reported = true;
  OutputLine line(OutputStream::kErr);
  line << machine << ": joint " << joint << " failed: ";
  writeCause(line, failure.what, failure.fault, failure.limit_s);
}

bool stageFailed(int state, MachineFailure& failure, char const* machine, unsigned joint,
                 VibrationTestHandler& component) {
  if (state != 999) return false;
  reportFailure(failure, machine, joint);
  component.stage_failed = true;
  return true;
}

void reportEarlyEnd(char const* machine, unsigned joint, char const* task, TaskFault fault) {
  OutputLine line(OutputStream::kErr);
  line << machine << ": joint " << joint << " ended early: ";
  writeCause(line, task, fault, 0.0);
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
