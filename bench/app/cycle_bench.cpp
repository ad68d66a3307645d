// Runs the test component on its real 4 ms activity (scheduler 1, priority 99, as the program
// does) against the in-process simulated controller for a number of seconds, and prints how late
// the cycles woke and how many overran their period.
//
//   app_cycle_bench [seconds=10] [test command=1] [test mode=0]
//
// With the start command the cycle runs the identification of the chosen joint (in high-speed
// mode), so the figures include the reset, the servo writes and the moves; runs longer than about
// 10 s also take in the spectrum analysis of the traversal's speed.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <rtt/Activity.hpp>
#include <thread>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "sim/SimController.h"

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int command = argc > 2 ? std::atoi(argv[2]) : 1;
  const int mode = argc > 3 ? std::atoi(argv[3]) : 0;
  if (!(seconds > 0.0) || seconds > 3600.0) {
    std::fprintf(stderr, "usage: app_cycle_bench [seconds 0..3600] [command 0|1] [mode]\n");
    return 2;
  }

  vb::sim::SimController sim;
  const int port = sim.start(0);

  vb::VibrationTestHandler handler("hello", "127.0.0.1", static_cast<unsigned>(port));
  auto* activity = new RTT::Activity(ORO_SCHED_RT, 99, 0.004, nullptr, "Activity");
  handler.setActivity(activity);
  handler.configure();
  vb::GlobalValue::vb_high_speed_mode = true;
  vb::GlobalValue::vb_test_mode = mode;
  vb::GlobalValue::vb_test_cmd = command;
  handler.start();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  handler.stop();

  const RTT::Activity::Figures f = activity->figures();
  int test_state = 0;
  {
    std::lock_guard<std::mutex> lock(vb::GlobalValue::table_mutex);
    test_state = vb::GlobalValue::vb_test_state;
  }
  std::printf("component cycle, %.1f s, command %d, mode %d, %s scheduling\n", seconds, command,
              mode, activity->isRealTime() ? "SCHED_FIFO 99" : "default");
  std::printf("  cycles          %llu (%.1f expected)\n", static_cast<unsigned long long>(f.cycles),
              seconds / 0.004);
  std::printf("  overruns        %llu\n", static_cast<unsigned long long>(f.overruns));
  std::printf("  lateness median %.3f ms\n", activity->latenessQuantile(0.5) / 1e6);
  std::printf("  lateness p99    %.3f ms\n", activity->latenessQuantile(0.99) / 1e6);
  std::printf("  lateness max    %.3f ms\n", f.max_lateness_ns / 1e6);
  std::printf("  longest cycle   %.3f ms\n", f.max_execution_ns / 1e6);
  std::printf("  robot requests  %llu get_robot_state, %llu in all\n",
              static_cast<unsigned long long>(sim.callCount("get_robot_state")),
              static_cast<unsigned long long>(sim.calls().size()));
  std::printf("  test state      %d at the end\n", test_state);
  sim.stop();
  return 0;
}
