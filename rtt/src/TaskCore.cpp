#include <rtt/ExecutionEngine.hpp>
#include <rtt/base/TaskCore.hpp>
#include <thread>

namespace RTT {
namespace base {

namespace {
TaskCore::TaskState validInitial(TaskCore::TaskState s) {
  return s == TaskCore::PreOperational ? s : TaskCore::Stopped;
}

// The task whose updateHook this thread is in, if any.
thread_local const TaskCore* in_cycle = nullptr;
}  // namespace

TaskCore::TaskCore(TaskState initial_state)
    : state_(validInitial(initial_state)), engine_(std::make_unique<ExecutionEngine>(this)) {}

TaskCore::~TaskCore() = default;

TaskCore::TaskState TaskCore::getTaskState() const {
  return state_.load(std::memory_order_acquire);
}

ActivityInterface* TaskCore::activity() const { return engine_->getActivity(); }

void TaskCore::stopActivity() {
  ActivityInterface* a = activity();
  if (a == nullptr) return;
  if (in_cycle == this) {
    a->stop();  // from its own thread it only asks; nothing waits
    return;
  }
  stopping_activity_.store(true, std::memory_order_release);
  a->stop();
  stopping_activity_.store(false, std::memory_order_release);
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

std::unique_lock<std::mutex> TaskCore::lockTransitions() {
  if (in_cycle != this) return std::unique_lock<std::mutex>(transitions_);
  // From inside updateHook, blocking could deadlock with a transition that joins this very
  // thread: that one wins. Any other (a start() still returning, say) ends without waiting
  // for the cycle, so this waits it out.
  for (;;) {
    std::unique_lock<std::mutex> lock(transitions_, std::try_to_lock);
    if (lock.owns_lock() || stopping_activity_.load(std::memory_order_acquire)) return lock;
    std::this_thread::yield();
  }
}

bool TaskCore::configure() {
  const auto lock = lockTransitions();
  if (!lock.owns_lock()) return false;
  const TaskState s = getTaskState();
  if (s != PreOperational && s != Stopped) return false;
  return transition([this] { return configureHook(); }, Stopped, PreOperational);
}

bool TaskCore::start() {
  const auto lock = lockTransitions();
  if (!lock.owns_lock()) return false;
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
  const auto lock = lockTransitions();
  if (!lock.owns_lock()) return false;
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
  const auto lock = lockTransitions();
  if (!lock.owns_lock()) return false;
  if (getTaskState() != Stopped) return false;
  return transition(
      [this] {
        cleanupHook();
        return true;
      },
      PreOperational, PreOperational);
}

bool TaskCore::recover() {
  const auto lock = lockTransitions();
  if (!lock.owns_lock()) return false;
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
  const TaskCore* outer = in_cycle;
  in_cycle = this;
  try {
    updateHook();
  } catch (...) {
    state_.store(Exception, std::memory_order_release);
  }
  in_cycle = outer;
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
