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

#include "TaskPoll.h"
#include "TestSchedule.h"

namespace OvraRPC {
class OvraCobot;
}

namespace vb {

class VibrationTestHandler;

// What one poll cycle of a running move found.
enum class MovePoll {
  kWaiting,   // still under way (running, paused, unknown or a failed query): stay in the poll
  kFinished,  // the controller reports the task finished
  kFailed     // in error, not started or out of time: the reason is in the move's fault
};

// A test move's task.
using TestMove = PolledTask;

// Poll cycles a test move may take: three times its nominal duration (travel / speed plus the
// acceleration time) and 10 s, generous for a controller under load yet finite.
long movePollLimit(double travel, double speed);

// Outward move: reads the actual joint positions into start_joints and starts a move of joint
// `joint` by `travel` rad at `speed` rad/s. Returns false, and starts nothing, when the position
// read fails or has no entry for the joint: the stage stays in its state and reads again in the
// next cycle.
bool startOutwardMove(OvraRPC::OvraCobot& cobot, unsigned joint, double travel, double speed,
                      std::vector<double>& start_joints, TestMove& move);

// Return move to start_joints, the positions read before the outward move, which lie `travel`
// away.
void startReturnMove(OvraRPC::OvraCobot& cobot, std::vector<double> const& start_joints,
                     double travel, double speed, TestMove& move);

// One poll of the move (pollTask). While the task runs it takes one velocity-error sample of the
// joint (deg/s) and appends it to samples when the target speed is not above speed + 0.001 rad/s;
// speed lists without an entry for the joint give no sample. kFailed, with the reason in
// move.fault, for a task in error, a move that could not be started, and one polled past its
// limit (which is then stopped). Cycles in which the move is reported paused do not count
// towards the limit.
MovePoll pollTestMove(OvraRPC::OvraCobot& cobot, TestMove& move, unsigned joint, double speed,
                      std::vector<double>& samples);

// What made a step machine fail, reported once on standard error.
struct MachineFailure {
  char const* what = nullptr;  // the task that failed, or the whole cause when fault is kNone
  TaskFault fault = TaskFault::kNone;
  double limit_s = 0.0;  // for kTimedOut: the time the task was given
  bool reported = false;

  void set(char const* cause) { *this = MachineFailure{cause}; }
  void set(char const* task, TaskFault task_fault, double limit_seconds) {
    *this = MachineFailure{task, task_fault, limit_seconds};
  }
  void set(char const* task, TestMove const& move) {
    set(task, move.fault, static_cast<double>(move.poll_limit) * kSamplePeriod);
  }
};

// Prints "<machine>: joint <j> failed: <cause>" on standard error, unless this failure was
// reported already. Real-time safe.
void reportFailure(MachineFailure& failure, char const* machine, unsigned joint);

// The end of a stage's cycle: in its failure state (999) it reports the failure (once) and marks
// the stage failed, for the dispatcher to end the test. True in the failure state, so that the
// caller does that state's own work in this cycle too.
bool stageFailed(int state, MachineFailure& failure, char const* machine, unsigned joint,
                 VibrationTestHandler& component);

// Prints "<machine>: joint <j> ended early: <task> <what happened>" on standard error, for a
// stage that finishes with its results so far because of a task fault. Real-time safe.
void reportEarlyEnd(char const* machine, unsigned joint, char const* task, TaskFault fault);

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
