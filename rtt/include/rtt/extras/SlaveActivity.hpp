#pragma once

#include <atomic>
#include <rtt/base/ActivityInterface.hpp>

namespace RTT {
namespace extras {

// An activity without a thread: each execute() runs one step of the runner in the caller's
// thread, while started. Tests step a component cycle by cycle with it.
// States: stopped --start()--> running --stop()--> stopped; execute() returns false when stopped.
class SlaveActivity : public base::ActivityInterface {
 public:
  explicit SlaveActivity(base::RunnableInterface* run = nullptr);
  // The period is only reported (getPeriod), nothing waits for it.
  explicit SlaveActivity(Seconds period, base::RunnableInterface* run = nullptr);
  ~SlaveActivity() override;

  bool start() override;
  bool stop() override;
  bool isRunning() const override { return running_.load(std::memory_order_acquire); }
  bool isPeriodic() const override { return period_ != 0.0; }
  Seconds getPeriod() const override { return period_; }
  bool execute() override;

 private:
  Seconds period_;
  std::atomic<bool> running_{false};
};

}  // namespace extras
}  // namespace RTT
