#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <rtt/base/ActivityInterface.hpp>
#include <string>

// Scheduler classes of the Activity constructors.
#ifndef ORO_SCHED_OTHER
#define ORO_SCHED_OTHER 0
#endif
#ifndef ORO_SCHED_RT
#define ORO_SCHED_RT 1
#endif

namespace RTT {

// A periodic thread that calls its runner's step() once per period.
//
// Deadlines are absolute on CLOCK_MONOTONIC (start, start + period, ...), so the cycle does not
// drift. A cycle that ends after its next deadline counts as an overrun, and the deadlines that
// went by are skipped: the next cycle waits for the first deadline still ahead, with no burst of
// catch-up cycles.
//
// ORO_SCHED_RT asks for SCHED_FIFO at the given priority (clamped to the valid range); where that
// is not permitted the thread runs with default scheduling and one warning line goes to standard
// error (once per Activity). Nothing else is printed.
//
// States: stopped --start()--> running --stop()--> stopped. stop() waits for the cycle in progress
// and joins the thread (called from the activity's own thread it only asks the thread to end
// after this cycle). It returns within one period. The destructor stops.
//
// The figures are atomics written by the activity's thread only; any thread may read them.
class Activity : public base::ActivityInterface {
 public:
  struct Figures {
    std::uint64_t cycles = 0;
    std::uint64_t overruns = 0;
    std::int64_t max_lateness_ns = 0;   // wake-up after the deadline
    std::int64_t max_execution_ns = 0;  // one step()
  };

  Activity(int scheduler, int priority, Seconds period, base::RunnableInterface* r = nullptr,
           const std::string& name = "Activity");
  Activity(int scheduler, int priority, Seconds period, const std::string& name);
  Activity(int priority, Seconds period, base::RunnableInterface* r = nullptr,
           const std::string& name = "Activity");
  ~Activity() override;

  bool start() override;
  bool stop() override;
  bool isRunning() const override;
  bool isPeriodic() const override { return true; }
  Seconds getPeriod() const override { return period_; }
  // Cycles run only in the activity's thread: always false.
  bool execute() override { return false; }

  const std::string& getName() const { return name_; }
  int getScheduler() const { return scheduler_; }
  int getPriority() const { return priority_; }
  // Whether the thread got SCHED_FIFO at its last start.
  bool isRealTime() const { return realtime_.load(std::memory_order_acquire); }

  Figures figures() const;
  // Lateness (ns) below which the fraction q of the cycles woke (q in [0, 1]), to 1 us; 0 before
  // the first cycle. Lateness past the histogram's range (10 ms) reads as the largest one.
  std::int64_t latenessQuantile(double q) const;

 private:
  static void* entry(void* self);
  void loop();
  void record(std::int64_t lateness_ns, std::int64_t execution_ns, bool overrun);
  void resetFigures();
  void join();

  static constexpr std::size_t kBins = 10000;  // 1 us each

  int scheduler_;
  int priority_;
  Seconds period_;
  std::string name_;

  pthread_t thread_{};
  bool has_thread_ = false;  // only touched by the controlling thread
  bool warned_ = false;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> realtime_{false};

  std::atomic<std::uint64_t> cycles_{0};
  std::atomic<std::uint64_t> overruns_{0};
  std::atomic<std::int64_t> max_lateness_ns_{0};
  std::atomic<std::int64_t> max_execution_ns_{0};
  std::unique_ptr<std::atomic<std::uint32_t>[]> histogram_;
};

}  // namespace RTT
