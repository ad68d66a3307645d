// The poll of a non-blocking controller task (a test move, a servo write or apply), shared by the
// measuring stages and the servo write machines.
//
// Control thread only. Real-time safe: no exceptions, no allocation of its own.
#pragma once

namespace OvraRPC {
class OvraCobot;
}

namespace vb {

// Why a task counts as failed.
enum class TaskFault {
  kNone,
  kNotStarted,  // the start call returned the SDK's error value
  kError,       // the controller reports the task in error
  kTimedOut     // polled for longer than the task could take
};

// A task under way: its id and how long it has been polled.
struct PolledTask {
  int ret = 0;          // task id, the SDK's error value when the start failed
  long polls = 0;       // poll cycles counted so far
  long poll_limit = 0;  // counted poll cycles after which it counts as failed
  TaskFault fault = TaskFault::kNone;

  // A task just started: its id and the poll cycles it is given.
  void start(int task_id, long limit) { *this = PolledTask{task_id, 0, limit, TaskFault::kNone}; }
};

// Which kind of task is polled, and so how.
enum class PollKind {
  // A test move: asks first whether it runs (the stage samples while it does), waits for a
  // paused move without counting the pause, and stops a move that runs out of time.
  kMove,
  // A servo write or apply: asks whether it finished, then whether it failed; every poll counts.
  kServo
};

// What one poll found.
enum class TaskPoll {
  kRunning,   // reported running (asked of moves only)
  kWaiting,   // under way otherwise: paused, another state, or a failed query
  kFinished,  // the controller reports the task finished
  kFailed     // the reason is in task.fault; a failed task stays failed and is not asked again
};

// One poll of the task. Each comparison asks the controller afresh, as the task may end between
// two queries: a move's poll asks whether it runs, then whether it finished, then whether it
// failed; a servo task's poll asks whether it finished, then whether it failed. A task that could
// not be started, or has used up its poll cycles, fails without a query.
TaskPoll pollTask(OvraRPC::OvraCobot& cobot, PolledTask& task, PollKind kind);

}  // namespace vb
