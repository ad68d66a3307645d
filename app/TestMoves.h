// The move, poll and sample pattern shared by the four measuring stages (traversal, phase scan,
// current scan, verification).
//
// A measurement moves the joint under test one travel away from where it stands and back again,
// as two non-blocking joint moves, and samples the joint's velocity error once per control cycle
// while each move is reported running. Each stage runs the pattern in its own states 10, 11, 20
// and 21 with its own task id and sample vector; these functions do the work of one such state.
//
// All of them run on the control thread and are real-time safe: they never throw, and once the
// reused speed and target lists have grown to the joint count they allocate nothing beyond what
// the RPC layer itself needs (a sample vector reserved by its stage does not grow either).
#pragma once

#include <vector>

namespace OvraRPC {
class OvraCobot;
}

namespace vb {

class VibrationTestHandler;

// What one poll cycle of a running move found.
enum class MovePoll {
  kWaiting,   // still under way (running, paused, unknown or a failed query): stay in the poll
  kFinished,  // the controller reports the task finished
  kFailed     // the controller reports the task in error
};

// Velocity errors of one test move are sampled at the control period.
constexpr double kSamplePeriod = 0.004;

// Outward move: reads the actual joint positions into start_joints and starts a move of joint
// `joint` by `travel` rad at `speed` rad/s; the task id goes to ret. Returns false, and starts
// nothing, when the position read fails or has no entry for the joint: the stage stays in its
// state and reads again in the next cycle.
bool startOutwardMove(OvraRPC::OvraCobot& cobot, unsigned joint, double travel, double speed,
                      std::vector<double>& start_joints, int& ret);

// Return move to start_joints, the positions read before the outward move; task id in ret.
void startReturnMove(OvraRPC::OvraCobot& cobot, std::vector<double> const& start_joints,
                     double speed, int& ret);

// One poll of task ret. While the task runs it takes one velocity-error sample of the joint
// (deg/s) and appends it to samples when the target speed is not above speed + 0.001 rad/s;
// speed lists without an entry for the joint give no sample.
MovePoll pollTestMove(OvraRPC::OvraCobot& cobot, int ret, unsigned joint, double speed,
                      std::vector<double>& samples);

// Root mean square of the samples; 0 for none.
double rootMeanSquare(std::vector<double> const& samples);

// An empty sample vector with room for both moves at the slowest speed (two 20 s moves and their
// ramps), so that a stage's samples do not grow during a test. Allocates: call at set-up.
std::vector<double> reservedSamples();
// An empty list with room for a whole half spectrum (512 bins).
std::vector<double> reservedSpectrum();

// What one call of a step machine used by a stage reported.
enum class StepResult { kStay, kDone, kFailed };

// One cycle of writing a compensation (per slot a phase and a current, for the slots' nominal
// orders of the joint) to the joint's servo drive through the component's setPhaseAndCurrent.
// kDone once the drive has applied it (the servo machine is then reset for its next use),
// kFailed when a servo task failed, else kStay.
StepResult applyCompensation(VibrationTestHandler& component, unsigned char joint,
                             double const phase[3], double const current[3]);

}  // namespace vb
