#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <rtt/base/ActivityInterface.hpp>

namespace RTT {

class ExecutionEngine;

namespace base {

// The life cycle of a task. A task starts in PreOperational or Stopped (any other initial state
// is taken as Stopped). Transitions, with the hook each one runs:
//
//   from                      call          hook                to
//   PreOperational, Stopped   configure()   configureHook       Stopped (true) / PreOperational
//   (false) Stopped                   start()       startHook           Running + activity started
//   (true) / Stopped Running, RunTimeError     stop()        stopHook            Stopped (activity
//   stopped first) Stopped                   cleanup()     cleanupHook         PreOperational
//   Running                   error()       -                   RunTimeError (updates go on)
//   RunTimeError              recover()     -                   Running
//   Exception                 recover()     -                   PreOperational (activity stopped)
//   Running, RunTimeError     updateHook throws                 Exception (no more updates)
//   any                       a hook above throws               Exception
//
// Any other call is refused and returns false. In Exception the activity keeps ticking without
// calling updateHook, so a throwing hook never ends the control thread; stop() there only stops
// the activity. Init and FatalError are never entered.
//
// Thread use: configure/start/stop/cleanup/recover are serialised and may come from any thread,
// also from updateHook itself (there a call that meets another transition under way returns
// false instead of waiting); updateHook runs in the activity's thread; getTaskState() from any
// thread.
class TaskCore {
 public:
  enum TaskState { Init, PreOperational, FatalError, Exception, Stopped, Running, RunTimeError };

  explicit TaskCore(TaskState initial_state = Stopped);
  TaskCore(const TaskCore&) = delete;
  TaskCore& operator=(const TaskCore&) = delete;
  virtual ~TaskCore();

  virtual TaskState getTaskState() const;
  virtual bool configure();
  virtual bool start();
  virtual bool stop();
  virtual bool cleanup();
  virtual bool recover();
  // Called by updateHook to report a recoverable fault.
  virtual void error();

  virtual bool isConfigured() const;
  virtual bool isRunning() const;
  virtual bool inException() const;
  virtual bool inRunTimeError() const;
  // The period of the activity in seconds; 0 without one.
  virtual Seconds getPeriod() const;

  ExecutionEngine* engine() const { return engine_.get(); }

 protected:
  virtual bool configureHook();
  virtual bool startHook();
  virtual void updateHook();
  virtual void stopHook();
  virtual void cleanupHook();

 private:
  friend class ::RTT::ExecutionEngine;
  // One update, from the engine. Real-time safe.
  void cycle() noexcept;
  // Runs a hook: done when it returns true, refused when false, Exception when it throws.
  bool transition(const std::function<bool()>& hook, TaskState done, TaskState refused);
  std::unique_lock<std::mutex> lockTransitions();
  ActivityInterface* activity() const;
  void stopActivity();

  std::atomic<TaskState> state_;
  std::mutex transitions_;
  std::atomic<bool> stopping_activity_{false};  // a transition is joining the cycle's thread
  std::unique_ptr<ExecutionEngine> engine_;
};

}  // namespace base
}  // namespace RTT
