#pragma once

#include <atomic>
#include <rtt/base/RunnableInterface.hpp>

namespace RTT {

// Durations of the toolkit's interfaces, in seconds.
using Seconds = double;

namespace base {

// The thread (or the caller, for a slave) that drives a RunnableInterface.
// States: stopped --start()--> running --stop()--> stopped. The runner can only be changed while
// stopped; it is not owned.
class ActivityInterface {
 public:
  explicit ActivityInterface(RunnableInterface* run = nullptr);
  ActivityInterface(const ActivityInterface&) = delete;
  ActivityInterface& operator=(const ActivityInterface&) = delete;
  virtual ~ActivityInterface();

  virtual bool start() = 0;
  virtual bool stop() = 0;
  virtual bool isRunning() const = 0;
  virtual bool isPeriodic() const = 0;
  virtual Seconds getPeriod() const = 0;
  // Runs one cycle in the caller's thread where the activity allows it; false otherwise.
  virtual bool execute() = 0;

  // Hands the activity its runner (null detaches it); refused while running.
  virtual bool run(RunnableInterface* r);
  RunnableInterface* getRunner() const { return runner_.load(std::memory_order_acquire); }

 private:
  // Atomic so that a slave stepped from one thread and inspected from another stays race-free.
  std::atomic<RunnableInterface*> runner_{nullptr};
};

}  // namespace base
}  // namespace RTT
