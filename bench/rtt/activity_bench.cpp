// Runs an empty component on the periodic Activity (priority 99) and prints the lateness of its
// wake-ups and the overruns: what the toolkit layer itself costs the 4 ms cycle.
// Usage: rtt_activity_bench [seconds=5] [period_s=0.004] [scheduler=1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <rtt/Activity.hpp>
#include <rtt/TaskContext.hpp>
#include <string>
#include <thread>

namespace {

bool parse(const char* text, double low, double high, double& out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= low && v <= high)) return false;
  out = v;
  return true;
}

class Idle : public RTT::TaskContext {
 public:
  Idle() : TaskContext("bench", PreOperational) {}
  ~Idle() override { stop(); }
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5.0;
  double period = 0.004;
  double scheduler = ORO_SCHED_RT;
  if ((argc > 1 && !parse(argv[1], 0.01, 86400.0, seconds)) ||
      (argc > 2 && !parse(argv[2], 0.0001, 10.0, period)) ||
      (argc > 3 && !parse(argv[3], 0.0, 1.0, scheduler))) {
    std::fprintf(stderr, "usage: %s [seconds] [period_s] [scheduler 0|1]\n", argv[0]);
    return 2;
  }
  Idle task;
  auto* activity = new RTT::Activity(static_cast<int>(scheduler), 99, period, "Activity");
  task.setActivity(activity);
  task.configure();
  task.start();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  task.stop();

  const RTT::Activity::Figures f = activity->figures();
  std::printf("activity: %.1f s at %.4f s period, %s scheduling\n", seconds, period,
              activity->isRealTime() ? "SCHED_FIFO 99" : "default");
  std::printf("cycles: %llu  overruns: %llu\n", static_cast<unsigned long long>(f.cycles),
              static_cast<unsigned long long>(f.overruns));
  std::printf("lateness us: median %.1f  p99 %.1f  max %.1f\n",
              activity->latenessQuantile(0.5) / 1e3, activity->latenessQuantile(0.99) / 1e3,
              f.max_lateness_ns / 1e3);
  std::printf("largest step us: %.1f\n", f.max_execution_ns / 1e3);
  return 0;
}
