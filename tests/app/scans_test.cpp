// The phase and current scans on their own, through the real control cycle against the
// simulator: grids, move pattern, optima against the simulator's ground truth, failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stage_harness.h"

namespace {

using vb::gridCount;
using vb::kCurrentMax;
using vb::kCurrentStart;
using vb::kCurrentStep;
using vb::kPhaseMax;
using vb::kPhaseScanCurrent;
using vb::kPhaseStart;
using vb::kPhaseStep;
using vb::kTravel;
using vb::sim::TaskKind;
using vb::test::Harness;
using vb::test::StageComponent;

using Stage = void (StageComponent::*)(bool, unsigned char);

// The identification reset and a high-speed traversal of joint j: the components at 2 deg/s.
void traverse(Harness& h, unsigned char j) {
  vb::GlobalValue::vb_high_speed_mode = true;
  h.identificationReset();
  ASSERT_GT(h.runStage(&StageComponent::traversal, j, h.component->trav_done, 5000), 0);
  ASSERT_NE(h.component->first_feat_order[j], 0u);
}

// Values of one servo parameter that set_servo_config wrote, in order.
std::vector<unsigned> writtenWords(Harness& h, unsigned char j, int param) {
  std::vector<unsigned> words;
  std::string const prefix = std::to_string(j) + ", " + std::to_string(param) + ", ";
  for (vb::sim::RecordedCall const& call : h.calls("set_servo_config")) {
    if (call.args.rfind(prefix, 0) == 0) {
      words.push_back(static_cast<unsigned>(std::stol(call.args.substr(prefix.size()))));
    }
  }
  return words;
}

// The joint position after each move, from the move targets.
std::vector<double> moveTargets(Harness& h, unsigned char j) {
  std::vector<double> targets;
  for (vb::sim::RecordedCall const& call : h.calls("movej2")) {
    std::string list = call.args.substr(1, call.args.find(']') - 1);
    for (unsigned i = 0; i < j; ++i) list = list.substr(list.find(',') + 2);
    targets.push_back(std::stod(list));
  }
  return targets;
}

// Both scans of one joint with the dispatcher's arguments: every phase of the grid (31) written
// and moved, outward first and last, then every current (8), ending back where the current scan
// began; the optima are the simulator's true optimum phase and current of each order.
TEST(Scans, FindTheTrueOptimaOnTheGrids) {
  Harness h;
  unsigned char const j = 0;
  traverse(h, j);
  StageComponent& c = *h.component;
  double const start = h.sim.jointPositions()[j];
  unsigned const orders[3] = {c.first_feat_order[j], c.second_feat_order[j], c.third_feat_order[j]};
  int const params[3] = {43, 45, 26};
  unsigned const phases = gridCount(kPhaseStart, kPhaseMax, kPhaseStep);
  unsigned const currents = gridCount(kCurrentStart, kCurrentMax, kCurrentStep);

  h.forgetCalls();
  ASSERT_GT(h.runStage(&StageComponent::phaseScan, j, c.phase_done, 60000), 0);
  EXPECT_EQ(h.count("apply_servo_config"), phases);
  std::vector<double> targets = moveTargets(h, j);
  ASSERT_EQ(targets.size(), phases);
  for (size_t m = 0; m < targets.size(); ++m) {
    EXPECT_NEAR(targets[m], m % 2 == 0 ? start + kTravel : start, 1e-12) << "move " << m;
  }
  for (int x = 0; x < 3; ++x) {
    std::vector<unsigned> expected;
    double phase = kPhaseStart;
    for (unsigned k = 0; k < phases; ++k, phase += kPhaseStep)
      expected.push_back(vb::servoWord(orders[x], phase, kPhaseScanCurrent));
    EXPECT_EQ(writtenWords(h, j, params[x]), expected) << "parameter " << params[x];
  }
  EXPECT_NEAR(h.sim.jointPositions()[j], start + kTravel, 1e-12);

  h.forgetCalls();
  ASSERT_GT(h.runStage(&StageComponent::currentScan, j, c.current_done, 20000), 0);
  EXPECT_EQ(h.count("apply_servo_config"), currents);
  targets = moveTargets(h, j);
  ASSERT_EQ(targets.size(), currents);
  for (size_t m = 0; m < targets.size(); ++m) {
    EXPECT_NEAR(targets[m], m % 2 == 0 ? start + 2 * kTravel : start + kTravel, 1e-12);
  }
  EXPECT_NEAR(h.sim.jointPositions()[j], start + kTravel, 1e-12);
  std::vector<unsigned> expected;
  double current = kCurrentStart;
  for (unsigned k = 0; k < currents; ++k, current += kCurrentStep) {
    expected.push_back(vb::servoWord(orders[0], c.first_optimum_phase[j], current));
  }
  EXPECT_EQ(writtenWords(h, j, 43), expected);

  vb::sim::JointTruth const truth = h.truth(j);
  ASSERT_EQ(truth.components.size(), 3u);
  double const phase[3] = {c.first_optimum_phase[j], c.second_optimum_phase[j],
                           c.third_optimum_phase[j]};
  double const optimum_current[3] = {c.first_optimum_current[j], c.second_optimum_current[j],
                                     c.third_optimum_current[j]};
  for (int x = 0; x < 3; ++x) {
    SCOPED_TRACE("slot " + std::to_string(x));
    EXPECT_EQ(static_cast<unsigned>(truth.components[x].order), orders[x]);
    EXPECT_NEAR(phase[x], truth.components[x].optimum_phase, 1e-9);
    EXPECT_NEAR(optimum_current[x], truth.components[x].optimum_current, 1e-9);
  }
}

bool* doneFlags(StageComponent& c, Stage stage) {
  return stage == &StageComponent::phaseScan ? c.phase_done : c.current_done;
}

class EachScan : public ::testing::TestWithParam<Stage> {};

// No component found (all nominal orders 0): finished at the first call, no move, no write.
TEST_P(EachScan, NoComponentFinishesAtOnce) {
  Harness h;
  h.identificationReset();
  h.forgetCalls();
  StageComponent& c = *h.component;
  EXPECT_EQ(h.runStage(GetParam(), 3, doneFlags(c, GetParam()), 10), 1);
  EXPECT_EQ(h.count("movej2"), 0u);
  EXPECT_EQ(h.count("set_servo_config"), 0u);
  EXPECT_EQ(h.count("apply_servo_config"), 0u);
}

// The worst speed a failed traversal leaves: failed from the reset on, nothing moves.
TEST_P(EachScan, NoWorstSpeedNeverCompletes) {
  Harness h;
  traverse(h, 1);
  StageComponent& c = *h.component;
  c.max_vib_target_vel[1] = 0.0;
  h.forgetCalls();
  EXPECT_EQ(h.runStage(GetParam(), 1, doneFlags(c, GetParam()), 500), -1);
  EXPECT_EQ(h.count("movej2"), 0u);
  EXPECT_EQ(h.count("set_servo_config"), 0u);
}

// The compensation write of the second value failing: failed after one outward move.
TEST_P(EachScan, FailedCompensationWriteFails) {
  Harness h;
  unsigned char const j = 4;
  traverse(h, j);
  // Each compensation is three parameter writes and one apply, one servo task each.
  h.sim.failTask(j, TaskKind::Servo, h.sim.taskCount(j, TaskKind::Servo) + 4 + 1);
  h.forgetCalls();
  StageComponent& c = *h.component;
  EXPECT_EQ(h.runStage(GetParam(), j, doneFlags(c, GetParam()), 4000), -1);
  EXPECT_EQ(h.count("movej2"), 1u);
  EXPECT_EQ(h.count("set_servo_config"), 4u);
  EXPECT_EQ(h.count("apply_servo_config"), 1u);
}

// A task error on the outward or the return move: failed, no further move.
TEST_P(EachScan, MoveErrorFails) {
  for (int move = 1; move <= 2; ++move) {
    SCOPED_TRACE("move " + std::to_string(move));
    Harness h;
    unsigned char const j = 5;
    traverse(h, j);
    h.sim.failTask(j, TaskKind::Motion, h.sim.taskCount(j, TaskKind::Motion) + move);
    h.forgetCalls();
    StageComponent& c = *h.component;
    EXPECT_EQ(h.runStage(GetParam(), j, doneFlags(c, GetParam()), 4000), -1);
    EXPECT_EQ(h.count("movej2"), static_cast<uint64_t>(move));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, EachScan, ::testing::Values(&StageComponent::phaseScan, &StageComponent::currentScan),
    [](auto const& info) {
      return std::string(info.param == &StageComponent::phaseScan ? "PhaseScan" : "CurrentScan");
    });

// Moves that yield no sample measure nothing: their values never become optima. A slot without
// a component still gets the optimum 0.
TEST(Scans, MovesWithoutSamplesAreNoMeasurement) {
  Harness h;
  unsigned char const j = 2;
  traverse(h, j);
  StageComponent& c = *h.component;
  c.second_freq[j] = 0.0;
  for (double* optimum : {c.first_optimum_phase, c.second_optimum_phase, c.third_optimum_phase}) {
    optimum[j] = 4.2;
  }
  double const no_travel = 0.0;
  c.vibrationPhaseId(false, j, no_travel, kPhaseScanCurrent, kPhaseStart, kPhaseMax, kPhaseStep);
  h.drive([&] {
    c.vibrationPhaseId(true, j, no_travel, kPhaseScanCurrent, kPhaseStart, kPhaseMax, kPhaseStep);
  });
  ASSERT_GT(h.runUntil([&] { return c.phase_done[j]; }, 5000), 0);
  EXPECT_EQ(c.first_optimum_phase[j], 4.2);
  EXPECT_EQ(c.second_optimum_phase[j], 0.0);
  EXPECT_EQ(c.third_optimum_phase[j], 4.2);
}

}  // namespace
