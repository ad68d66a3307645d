#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <rtt/Activity.hpp>

namespace RTT {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;

std::int64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * kNsPerSecond + t.tv_nsec;
}

void sleepUntil(std::int64_t deadline_ns) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(deadline_ns / kNsPerSecond);
  t.tv_nsec = static_cast<long>(deadline_ns % kNsPerSecond);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

// The activity whose thread this is, so that stop() and join() know when they run in it.
thread_local const Activity* current = nullptr;

void raiseMax(std::atomic<std::int64_t>& max, std::int64_t value) {
  if (value > max.load(std::memory_order_relaxed)) max.store(value, std::memory_order_relaxed);
}

}  // namespace

Activity::Activity(int scheduler, int priority, Seconds period, base::RunnableInterface* r,
                   const std::string& name)
    : ActivityInterface(r),
      scheduler_(scheduler),
      priority_(priority),
      period_(period),
      name_(name),
      histogram_(std::make_unique<std::atomic<std::uint32_t>[]>(kBins)) {}

Activity::Activity(int scheduler, int priority, Seconds period, const std::string& name)
    : Activity(scheduler, priority, period, nullptr, name) {}

Activity::Activity(int priority, Seconds period, base::RunnableInterface* r,
                   const std::string& name)
    : Activity(ORO_SCHED_RT, priority, period, r, name) {}

Activity::~Activity() {
  stop();
  join();
}

bool Activity::isRunning() const { return running_.load(std::memory_order_acquire); }

bool Activity::start() {
  if (isRunning() || !(period_ > 0.0)) return false;
  join();  // a thread that stopped itself
  resetFigures();
  stop_requested_.store(false, std::memory_order_relaxed);
  running_.store(true, std::memory_order_release);

  int err = -1;
  if (scheduler_ == ORO_SCHED_RT) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    sched_param param{};
    param.sched_priority = std::clamp(priority_, sched_get_priority_min(SCHED_FIFO),
                                      sched_get_priority_max(SCHED_FIFO));
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    pthread_attr_setschedparam(&attr, &param);
    err = pthread_create(&thread_, &attr, &Activity::entry, this);
    pthread_attr_destroy(&attr);
    realtime_.store(err == 0, std::memory_order_release);
    if (err != 0 && !warned_) {
      warned_ = true;
      std::fprintf(stderr,
                   "Activity '%s': SCHED_FIFO priority %d not permitted (%s); running with "
                   "default scheduling\n",
                   name_.c_str(), param.sched_priority, std::strerror(err));
    }
  }
  if (err != 0) {
    realtime_.store(false, std::memory_order_release);
    err = pthread_create(&thread_, nullptr, &Activity::entry, this);
  }
  if (err != 0) {
    running_.store(false, std::memory_order_release);
    return false;
  }
  has_thread_ = true;
  return true;
}

bool Activity::stop() {
  if (!isRunning()) return false;
  stop_requested_.store(true, std::memory_order_release);
  if (current == this) {
    // From the cycle itself: the thread ends after this step and is joined later.
    running_.store(false, std::memory_order_release);
    return true;
  }
  join();
  running_.store(false, std::memory_order_release);
  return true;
}

void Activity::join() {
  if (!has_thread_ || current == this) return;
  pthread_join(thread_, nullptr);
  has_thread_ = false;
}

void* Activity::entry(void* self) {
  static_cast<Activity*>(self)->loop();
  return nullptr;
}

void Activity::loop() {
  current = this;
  // Linux thread names hold 15 characters.
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  base::RunnableInterface* runner = getRunner();
  if (runner != nullptr && !runner->initialize()) {
    running_.store(false, std::memory_order_release);
    return;
  }
  const std::int64_t period_ns = std::max<std::int64_t>(1, std::llround(period_ * kNsPerSecond));
  std::int64_t deadline = nowNs();
  for (;;) {
    sleepUntil(deadline);
    if (stop_requested_.load(std::memory_order_acquire)) break;
    const std::int64_t woke = nowNs();
    if (runner != nullptr) runner->step();
    const std::int64_t done = nowNs();
    const std::int64_t lateness = woke - deadline;
    deadline += period_ns;
    // Missed deadlines are skipped: the next cycle waits for the first one still ahead.
    const bool overrun = done >= deadline;
    if (overrun) deadline += ((done - deadline) / period_ns + 1) * period_ns;
    record(lateness, done - woke, overrun);
  }
  if (runner != nullptr) runner->finalize();
}

void Activity::record(std::int64_t lateness_ns, std::int64_t execution_ns, bool overrun) {
  const std::int64_t late = std::max<std::int64_t>(0, lateness_ns);
  const std::size_t bin = std::min<std::size_t>(kBins - 1, static_cast<std::size_t>(late / 1000));
  histogram_[bin].fetch_add(1, std::memory_order_relaxed);
  raiseMax(max_lateness_ns_, late);
  raiseMax(max_execution_ns_, execution_ns);
  if (overrun) overruns_.fetch_add(1, std::memory_order_relaxed);
  // Last, so that a reader who sees n cycles sees their other figures too.
  cycles_.fetch_add(1, std::memory_order_release);
}

void Activity::resetFigures() {
  for (std::size_t i = 0; i < kBins; ++i) histogram_[i].store(0, std::memory_order_relaxed);
  overruns_.store(0, std::memory_order_relaxed);
  max_lateness_ns_.store(0, std::memory_order_relaxed);
  max_execution_ns_.store(0, std::memory_order_relaxed);
  cycles_.store(0, std::memory_order_release);
}

Activity::Figures Activity::figures() const {
  Figures f;
  f.cycles = cycles_.load(std::memory_order_acquire);
  f.overruns = overruns_.load(std::memory_order_relaxed);
  f.max_lateness_ns = max_lateness_ns_.load(std::memory_order_relaxed);
  f.max_execution_ns = max_execution_ns_.load(std::memory_order_relaxed);
  return f;
}

std::int64_t Activity::latenessQuantile(double q) const {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < kBins; ++i) total += histogram_[i].load(std::memory_order_relaxed);
  if (total == 0) return 0;
  const double clamped = std::clamp(std::isnan(q) ? 0.0 : q, 0.0, 1.0);
  const auto rank = std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(std::ceil(clamped * static_cast<double>(total))));
  const std::int64_t max = max_lateness_ns_.load(std::memory_order_relaxed);
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i + 1 < kBins; ++i) {
    seen += histogram_[i].load(std::memory_order_relaxed);
    if (seen >= rank) return std::min<std::int64_t>(max, static_cast<std::int64_t>(i + 1) * 1000);
  }
  return max;
}

}  // namespace RTT
