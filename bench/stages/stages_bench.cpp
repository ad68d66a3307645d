// Prints, for one joint in normal and in high-speed mode, the simulated test time against the sum
// of the durations of the moves the test commanded (the rest is the step machines' overhead:
// reset, servo writes, one cycle per state change), and how long the analysis of one traversal
// speed of about 10000 samples takes in the cycle that runs it.
//
// The component runs on a slave activity against the in-process simulator, as in the tests, so
// the simulated time is exact and the wall-clock figures include the loopback RPCs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <rtt/extras/SlaveActivity.hpp>
#include <string>
#include <vector>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "sim/SimController.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace G = vb::GlobalValue;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The component, timing its traversal spectra and the cycles that contain one.
class TimedComponent : public vb::VibrationTestHandler {
 public:
  using VibrationTestHandler::VibrationTestHandler;

  void velocityErrorAnalysis(std::vector<double> const& samples, double const& dt,
                             std::vector<double>& freq, std::vector<double>& amp,
                             std::vector<unsigned int>& peaks) override {
    auto const t0 = Clock::now();
    VibrationTestHandler::velocityErrorAnalysis(samples, dt, freq, amp, peaks);
    analysis_us.push_back(micros(Clock::now() - t0));
    analysis_samples.push_back(samples.size());
    analysed_in_cycle = true;
  }

  std::vector<double> analysis_us;
  std::vector<std::size_t> analysis_samples;
  bool analysed_in_cycle = false;
};

struct Run {
  double sim_seconds = 0.0;
  double move_seconds = 0.0;
  std::size_t moves = 0;
  long cycles = 0;
  double wall_seconds = 0.0;
  std::vector<double> analysis_us;   // spectrum call alone, per traversal speed
  std::vector<double> cycle_us;      // the whole cycle that ran it
  std::vector<std::size_t> samples;  // samples of that speed
};

// Duration of a commanded test move: 10 degrees at v with acceleration 20 v (trapezoid).
double moveSeconds(double travel, double v) { return travel / v + v / (20.0 * v); }

Run identify(unsigned joint, bool high_speed) {
  Run run;
  vb::sim::SimController sim;
  sim.setMaxRecordedCalls(64);  // the calls of the last cycle or so; records would pile up
  int const port = sim.start(0);
  TimedComponent component("hello", "127.0.0.1", static_cast<unsigned>(port));
  auto* activity = new RTT::extras::SlaveActivity(0.004);
  component.setActivity(activity);
  // The component's own lines (connection, results) would interleave with the table.
  std::fflush(stdout);
  std::cout.flush();
  int const saved_stdout = ::dup(1);
  int const null_fd = ::open("/dev/null", O_WRONLY);
  ::dup2(null_fd, 1);
  ::close(null_fd);
  component.configure();
  component.start();

  G::vb_test_mode = static_cast<int>(joint);
  G::vb_high_speed_mode = high_speed;
  G::vb_test_cmd = 1;
  double const t_start = sim.simTime();
  auto const wall_start = Clock::now();
  std::vector<double> speeds;
  uint64_t moves_seen = 0;
  for (;;) {
    component.analysed_in_cycle = false;
    auto const c0 = Clock::now();
    activity->execute();
    auto const c1 = Clock::now();
    ++run.cycles;
    if (component.analysed_in_cycle) run.cycle_us.push_back(micros(c1 - c0));
    uint64_t const moves = sim.callCount("movej2");
    if (moves != moves_seen) {
      // The speed of the move just commanded: the worst speed once the traversal is over.
      double v = 0.0;
      for (auto const& call : sim.callsOf("movej2")) {
        v = std::stod(call.args.substr(call.args.find(']') + 2));
      }
      for (uint64_t m = moves_seen; m < moves; ++m) speeds.push_back(v);
      moves_seen = moves;
    }
    std::lock_guard<std::mutex> lock(G::table_mutex);
    if (G::vb_test_state == 2) break;
  }
  run.wall_seconds = std::chrono::duration<double>(Clock::now() - wall_start).count();
  run.sim_seconds = sim.simTime() - t_start;
  run.moves = speeds.size();
  for (double v : speeds) run.move_seconds += moveSeconds(vb::kTravel, v);
  run.analysis_us = component.analysis_us;
  run.samples = component.analysis_samples;
  G::vb_test_cmd = 0;
  component.stop();
  std::fflush(stdout);
  std::cout.flush();
  ::dup2(saved_stdout, 1);
  ::close(saved_stdout);
  sim.stop();
  return run;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void report(char const* mode, Run const& r) {
  std::printf("%-11s %8zu %10.3f %11.3f %11.3f %7.2f%% %9ld %8.2f\n", mode, r.moves, r.sim_seconds,
              r.move_seconds, r.sim_seconds - r.move_seconds,
              100.0 * (r.sim_seconds - r.move_seconds) / r.sim_seconds, r.cycles, r.wall_seconds);
}

}  // namespace

int main() {
  unsigned const joint = 3;
  std::printf("one joint (joint %u of the simulator's default arm)\n", joint);
  std::printf("%-11s %8s %10s %11s %11s %8s %9s %8s\n", "mode", "moves", "sim s", "moves s",
              "overhead s", "share", "cycles", "wall s");
  Run const normal = identify(joint, false);
  report("normal", normal);
  Run const high = identify(joint, true);
  report("high-speed", high);

  // The first traversal speed, 0.5 deg/s: both moves, about 10000 samples.
  if (!normal.analysis_us.empty() && !normal.cycle_us.empty()) {
    std::printf("\nanalysis of one traversal speed in its cycle (normal mode, per speed)\n");
    std::printf("%10s %14s %14s\n", "samples", "analysis us", "cycle us");
    for (std::size_t i = 0; i < normal.analysis_us.size() && i < normal.cycle_us.size(); ++i) {
      std::printf("%10zu %14.1f %14.1f\n", normal.samples[i], normal.analysis_us[i],
                  normal.cycle_us[i]);
    }
  }

  // The same analysis on its own, repeated: 10000 samples, its spectrum and peak list.
  vb::VibrationTestHandler spare("spare");
  std::vector<double> samples(10000);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.3 * std::sin(0.2 * static_cast<double>(i)) + 0.01 * std::cos(1.7 * i);
  }
  std::vector<double> freq, amp;
  std::vector<unsigned int> peaks;
  double const dt = 0.004;
  std::vector<double> times;
  for (int i = 0; i < 2000; ++i) {
    auto const t0 = Clock::now();
    spare.velocityErrorAnalysis(samples, dt, freq, amp, peaks);
    times.push_back(micros(Clock::now() - t0));
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "\nvelocityErrorAnalysis, 10000 samples (15 segments of 1024), 2000 runs: "
      "median %.1f us, 99th percentile %.1f us, largest %.1f us (cycle budget 4000 us)\n",
      median(times), times[times.size() * 99 / 100], times.back());
  return 0;
}
