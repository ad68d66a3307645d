#include <rtt/ExecutionEngine.hpp>
#include <rtt/base/TaskCore.hpp>

namespace RTT {
namespace base {

namespace {
TaskCore::TaskState validInitial(TaskCore::TaskState s) {
  return s == TaskCore::PreOperational ? s : TaskCore::Stopped;
}
}  // namespace

TaskCore::TaskCore(TaskState initial_state)
    : state_(validInitial(initial_state)), engine_(std::make_unique<ExecutionEngine>(this)) {}

TaskCore::~TaskCore() = default;

TaskCore::TaskState TaskCore::getTaskState() const {
  return state_.load(std::memory_order_acquire);
}

ActivityInterface* TaskCore::activity() const { return engine_->getActivity(); }

void TaskCore::stopActivity() {
  if (ActivityInterface* a = activity()) a->stop();
}

bool TaskCore::transition(const std::function<bool()>& hook, TaskState done, TaskState refused) {
  try {
    const bool ok = hook();
    state_.store(ok ? done : refused, std::memory_order_release);
    return ok;
  } catch (...) {
    state_.store(Exception, std::memory_order_release);
    return false;
  }
}

bool TaskCore::configure() {
  std::lock_guard<std::mutex> lock(transitions_);
  const TaskState s = getTaskState();
  if (s != PreOperational && s != Stopped) return false;
  return transition([this] { return configureHook(); }, Stopped, PreOperational);
}

bool TaskCore::start() {
  std::lock_guard<std::mutex> lock(transitions_);
  if (getTaskState() != Stopped) return false;
  // Running before the activity starts, so its first cycle already updates.
  if (!transition([this] { return startHook(); }, Running, Stopped)) return false;
  ActivityInterface* a = activity();
  if (a != nullptr && !a->isRunning() && !a->start()) {
    state_.store(Stopped, std::memory_order_release);
    return false;
  }
  return true;
}

bool TaskCore::stop() {
  std::lock_guard<std::mutex> lock(transitions_);
  const TaskState s = getTaskState();
  if (s != Running && s != RunTimeError && s != Exception) return false;
  // No update may run beside stopHook: the activity stops (and joins) first.
  stopActivity();
  if (getTaskState() == Exception) return false;
  return transition(
      [this] {
        stopHook();
        return true;
      },
      Stopped, Stopped);
}

bool TaskCore::cleanup() {
  std::lock_guard<std::mutex> lock(transitions_);
  if (getTaskState() != Stopped) return false;
  return transition(
      [this] {
        cleanupHook();
        return true;
      },
      PreOperational, PreOperational);
}

bool TaskCore::recover() {
  std::lock_guard<std::mutex> lock(transitions_);
  TaskState expected = RunTimeError;
  if (state_.compare_exchange_strong(expected, Running, std::memory_order_acq_rel)) return true;
  if (expected != Exception) return false;
  stopActivity();
  state_.store(PreOperational, std::memory_order_release);
  return true;
}

void TaskCore::error() {
  TaskState expected = Running;
  state_.compare_exchange_strong(expected, RunTimeError, std::memory_order_acq_rel);
}

void TaskCore::cycle() noexcept {
  const TaskState s = getTaskState();
  if (s != Running && s != RunTimeError) return;
  try {
    updateHook();
  } catch (...) {
    state_.store(Exception, std::memory_order_release);
  }
}

bool TaskCore::isConfigured() const {
  const TaskState s = getTaskState();
  return s == Stopped || s == Running || s == RunTimeError;
}

bool TaskCore::isRunning() const {
  const TaskState s = getTaskState();
  return s == Running || s == RunTimeError;
}

bool TaskCore::inException() const { return getTaskState() == Exception; }
bool TaskCore::inRunTimeError() const { return getTaskState() == RunTimeError; }

Seconds TaskCore::getPeriod() const {
  const ActivityInterface* a = activity();
  return a != nullptr ? a->getPeriod() : 0.0;
}

bool TaskCore::configureHook() { return true; }
bool TaskCore::startHook() { return true; }
void TaskCore::updateHook() {}
void TaskCore::stopHook() {}
void TaskCore::cleanupHook() {}

}  // namespace base
}  // namespace RTT
