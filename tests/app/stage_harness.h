// Drives the real test component cycle by cycle (SlaveActivity) against the in-process simulated
// controller over loopback TCP.
//
// StageComponent is the component itself; only its per-cycle test logic can be replaced by a
// step the test chooses, so that one stage can be run through the real control cycle (robot
// state, table copies, clock tick) on its own. Left unset, the cycle runs the real dispatcher.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <rtt/extras/SlaveActivity.hpp>
#include <string>
#include <utility>
#include <vector>

#include "Global.h"
#include "OvraCobot.h"
#include "TestSchedule.h"
#include "VibrationTestHandler.h"
#include "sim/SimController.h"

namespace vb::test {

class StageComponent : public VibrationTestHandler {
 public:
  using VibrationTestHandler::VibrationTestHandler;

  std::function<void()> step;  // this cycle's test logic; unset: the real dispatcher

  void vibrationTest() override {
    if (step) {
      step();
    } else {
      VibrationTestHandler::vibrationTest();
    }
  }

  // The stages with the dispatcher's arguments: the schedule's.
  void traversal(bool start, unsigned char j) {
    velocityTraversal(start, j, kTravel, kSpeedStart, kSpeedMax, kSpeedStep);
  }
  void phaseScan(bool start, unsigned char j) {
    vibrationPhaseId(start, j, kTravel, kPhaseScanCurrent, kPhaseStart, kPhaseMax, kPhaseStep);
  }
  void currentScan(bool start, unsigned char j) {
    vibrationCurrentId(start, j, kTravel, kCurrentStart, kCurrentMax, kCurrentStep);
  }
  void verification(bool start, unsigned char j) { verifyIdResult(start, j, kTravel); }
};

// The simulator's arm laid out for high-speed mode, whose one traversal speed (2 deg/s) starts
// with all thresholds at 0 and measures one short segment per move:
// - there the last peak within one order of a nominal order wins, so a side lobe or noise peak
//   just above a component would take its slot: gear ratios below 88 put one order under two
//   bins (1024 points at 4 ms) at 2 deg/s, so that window holds only the component's main lobe;
// - each joint's resonance sits at its stator-slot frequency at 2 deg/s (the worst speed), damped
//   to a peak of about 1.75, and every component has the same gain, so that no component's
//   leakage drowns the residual of a weaker neighbour a few bins away.
// Pole pairs, stator slots, true phases and currents stay those of the default arm.
inline sim::SimConfig topSpeedConfig() {
  sim::SimConfig config;
  config.joints = sim::highSpeedJoints();
  return config;
}

// Puts the shared commands and settings back to their start values.
inline void resetSharedCommands() {
  GlobalValue::vb_test_cmd = 0;
  GlobalValue::vb_test_mode = 0;
  GlobalValue::vb_high_speed_mode = false;
  for (auto& request : GlobalValue::vb_activate_param) request = false;
}

class Harness {
 public:
  explicit Harness(sim::SimConfig config = sim::SimConfig()) : sim(std::move(config)) {
    resetSharedCommands();
    int const port = sim.start(0);
    component = std::make_unique<StageComponent>("hello", "127.0.0.1", static_cast<unsigned>(port));
    activity = new RTT::extras::SlaveActivity(0.004);
    EXPECT_TRUE(component->setActivity(activity));
    EXPECT_TRUE(component->configure());
    EXPECT_TRUE(component->start());
    // Should the first connect come too early, the cycle reconnects once a second of cycles.
    if (!component->connected) {
      EXPECT_GT(runUntil([this] { return component->connected; }, 10 * kCyclesPerSecond), 0);
    }
  }

  ~Harness() {
    component.reset();
    sim.stop();
    resetSharedCommands();
  }

  // One control cycle: one clock tick of the simulator.
  void cycle() { ASSERT_TRUE(activity->execute()); }

  // Runs cycles until done() holds after a cycle; the number of cycles run, or -1 when it still
  // did not hold after max_cycles.
  long runUntil(std::function<bool()> const& done, long max_cycles) {
    for (long n = 1; n <= max_cycles; ++n) {
      if (!activity->execute()) return -1;
      if (n % kHarvestCycles == 0) harvestCalls();
      if (done()) return n;
    }
    return -1;
  }

  // The calls the component made since the last forgetCalls(), of one method, in order. The
  // polls and speed reads of every cycle are counted but not kept.
  std::vector<sim::RecordedCall> calls(std::string const& method) {
    harvestCalls();
    std::vector<sim::RecordedCall> out;
    for (sim::RecordedCall const& call : kept_) {
      if (call.method == method) out.push_back(call);
    }
    return out;
  }
  uint64_t count(std::string const& method) {
    harvestCalls();
    return counts_[method];
  }
  void forgetCalls() {
    sim.clearCalls();
    kept_.clear();
    counts_.clear();
  }

  // The movej2 speeds the component commanded since the last forgetCalls(), in order.
  std::vector<double> moveSpeeds() {
    std::vector<double> speeds;
    for (sim::RecordedCall const& call : calls("movej2")) {
      // "[targets], v, a, r, block": the speed follows the target list.
      std::string::size_type const close = call.args.find(']');
      if (close != std::string::npos) speeds.push_back(std::stod(call.args.substr(close + 2)));
    }
    return speeds;
  }

  // Every cycle runs `step` as the component's test logic.
  void drive(std::function<void()> step) { component->step = std::move(step); }

  // Runs the identification reset to its end, as a test start does: the results of all joints
  // cleared, the traversal reset (reading the high-speed flag), zero compensation written.
  void identificationReset() {
    bool finished = false;
    drive([&] {
      bool done = false;
      component->resetId(true, done);
      if (done) {
        component->resetId(false, done);
        finished = true;
      }
    });
    ASSERT_GT(runUntil([&] { return finished; }, 10000), 0);
  }

  // Resets one stage of joint j (start false), then runs it with start true once per cycle until
  // flag[j] is set; the cycles it took, -1 beyond max_cycles.
  long runStage(void (StageComponent::*stage)(bool, unsigned char), unsigned char j,
                bool const* flag, long max_cycles) {
    StageComponent* c = component.get();
    (c->*stage)(false, j);
    drive([c, stage, j] { (c->*stage)(true, j); });
    return runUntil([flag, j] { return flag[j]; }, max_cycles);
  }

  sim::JointTruth truth(int joint) const { return sim.groundTruth()[static_cast<size_t>(joint)]; }

  sim::SimController sim;
  std::unique_ptr<StageComponent> component;
  RTT::extras::SlaveActivity* activity = nullptr;  // owned by the component

 private:
  static constexpr long kHarvestCycles = 5000;
  static constexpr long kCyclesPerSecond = 250;

  // Moves the simulator's records into kept_ (all but the per-cycle requests) and counts_, so
  // that long runs do not pile up records.
  void harvestCalls() {
    for (sim::RecordedCall& call : sim.calls()) {
      ++counts_[call.method];
      if (call.method != "get_robot_state" && call.method != "get_noneblock_taskstate" &&
          call.method != "get_actual_joints_speed" && call.method != "get_target_joints_speed") {
        kept_.push_back(std::move(call));
      }
    }
    sim.clearCalls();
  }

  std::vector<sim::RecordedCall> kept_;
  std::map<std::string, uint64_t> counts_;
};

}  // namespace vb::test
