#include "TaskPoll.h"

#include "OvraCobot.h"

namespace vb {

TaskPoll pollTask(OvraRPC::OvraCobot& cobot, PolledTask& task, PollKind kind) {
  if (task.fault != TaskFault::kNone) return TaskPoll::kFailed;
  if (task.ret == OvraRPC::kErrorValue) {
    task.fault = TaskFault::kNotStarted;
    return TaskPoll::kFailed;
  }
  bool const move = kind == PollKind::kMove;
  if (task.polls >= task.poll_limit) {
    task.fault = TaskFault::kTimedOut;
    // Given up on, a move must not run on while the program reports the test idle.
    if (move) cobot.stop(false);
    return TaskPoll::kFailed;
  }
  int const id = task.ret;
  if (move && cobot.get_noneblock_taskstate(id) == TaskState::ST_Running) {
    ++task.polls;
    return TaskPoll::kRunning;
  }
  if (cobot.get_noneblock_taskstate(id) == TaskState::ST_Finished) return TaskPoll::kFinished;
  int const last = cobot.get_noneblock_taskstate(id);
  if (last == TaskState::ST_Error) {
    task.fault = TaskFault::kError;
    return TaskPoll::kFailed;
  }
  // A paused move waits for the operator, however long that takes.
  if (!(move && last == TaskState::ST_Paused)) ++task.polls;
  return TaskPoll::kWaiting;
}

}  // namespace vb
