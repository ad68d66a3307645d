#include <rtt/ExecutionEngine.hpp>
#include <rtt/TaskContext.hpp>

namespace RTT {

TaskContext::TaskContext(const std::string& name, TaskState initial_state)
    : TaskCore(initial_state), name_(name) {}

TaskContext::~TaskContext() {
  if (activity_) {
    activity_->stop();
    activity_->run(nullptr);
  }
}

bool TaskContext::setActivity(base::ActivityInterface* new_act) {
  if (isRunning() || (activity_ && activity_->isRunning())) return false;
  if (new_act == activity_.get()) return true;
  // A running activity cannot take a new runner: the caller keeps it.
  if (new_act != nullptr && !new_act->run(engine())) return false;
  if (activity_) activity_->run(nullptr);
  activity_.reset(new_act);
  return true;
}

}  // namespace RTT
