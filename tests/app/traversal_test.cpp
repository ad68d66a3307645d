// The velocity traversal on its own, through the real control cycle against the simulator:
// speed grid, worst speed against the simulator's ground truth, result lines, failures.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "stage_harness.h"

namespace {

using vb::gridCount;
using vb::kSpeedMax;
using vb::kSpeedStart;
using vb::kSpeedStep;
using vb::kTravel;
using vb::sim::TaskKind;
using vb::test::Harness;
using vb::test::StageComponent;

constexpr double kBinSpacing = 1.0 / (1024 * 0.004);

// The four result lines as the traversal prints them.
std::string resultLines(StageComponent const& c, unsigned j) {
  std::ostringstream out;
  out << j << " max vib velo: " << c.max_vib_target_vel[j] << "\n";
  out << j << " first freq: " << c.first_freq[j] << " " << c.first_order[j] << " "
      << c.first_feat_order[j] << " " << c.first_freq_vib_amp[j] << "\n";
  out << j << " second freq: " << c.second_freq[j] << " " << c.second_order[j] << " "
      << c.second_feat_order[j] << " " << c.second_freq_vib_amp[j] << "\n";
  out << j << " third freq: " << c.third_freq[j] << " " << c.third_order[j] << " "
      << c.third_feat_order[j] << " " << c.third_freq_vib_amp[j] << "\n";
  return out.str();
}

size_t count(std::string const& text, std::string const& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The three slots of joint j hold the simulator's three components: nominal order, frequency
// near the true one at the given speed, measured order near the nominal one.
void expectComponentsAt(Harness const& h, unsigned j, double speed, double freq_tolerance) {
  StageComponent const& c = *h.component;
  vb::sim::JointConfig const joint = h.sim.config().joints[j];
  double const revs = joint.gear_ratio * speed / 6.283185307179586;
  unsigned const nominal[3] = {static_cast<unsigned>(joint.pole_pairs),
                               2u * static_cast<unsigned>(joint.pole_pairs),
                               static_cast<unsigned>(joint.stator_slots)};
  unsigned const feat[3] = {c.first_feat_order[j], c.second_feat_order[j], c.third_feat_order[j]};
  double const freq[3] = {c.first_freq[j], c.second_freq[j], c.third_freq[j]};
  double const order[3] = {c.first_order[j], c.second_order[j], c.third_order[j]};
  double const amp[3] = {c.first_freq_vib_amp[j], c.second_freq_vib_amp[j],
                         c.third_freq_vib_amp[j]};
  for (int x = 0; x < 3; ++x) {
    SCOPED_TRACE("slot " + std::to_string(x));
    EXPECT_EQ(feat[x], nominal[x]);
    EXPECT_NEAR(freq[x], nominal[x] * revs, freq_tolerance);
    EXPECT_NEAR(order[x], freq[x] / revs, 1e-12);
    EXPECT_LT(std::fabs(order[x] - nominal[x]), 1.0);
    EXPECT_GT(amp[x], 0.01);
  }
}

TEST(Traversal, HighSpeedModeOnePairAtTheTopSpeed) {
  Harness h;
  vb::GlobalValue::vb_high_speed_mode = true;
  h.identificationReset();
  h.forgetCalls();
  StageComponent& c = *h.component;
  testing::internal::CaptureStdout();
  EXPECT_GT(h.runStage(&StageComponent::traversal, 0, c.trav_done, 5000), 0);
  // Stopped at the cycle that set the flag: the one call in state 99 printed the lines.
  std::string const out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(h.moveSpeeds(), (std::vector<double>{kSpeedMax, kSpeedMax}));
  EXPECT_EQ(c.max_vib_target_vel[0], kSpeedMax);
  // At the top speed the true frequencies may lie between two bins.
  expectComponentsAt(h, 0, kSpeedMax, kBinSpacing + 1e-9);
  EXPECT_EQ(count(out, "origin_vel_err_rmse: "), 1u);
  EXPECT_EQ(out.substr(out.find("\n") + 1), resultLines(c, 0));
  EXPECT_EQ(out.substr(out.find("\n") + 1, 26), "0 max vib velo: 0.0349066\n");
  EXPECT_EQ(out.rfind("origin_vel_err_rmse: ", 0), 0u);
}

TEST(Traversal, NormalModeSixteenSpeedsAndTheDesignedWorstSpeed) {
  Harness h;
  unsigned const j = 1;
  h.identificationReset();
  h.forgetCalls();
  StageComponent& c = *h.component;
  testing::internal::CaptureStdout();
  EXPECT_GT(h.runStage(&StageComponent::traversal, j, c.trav_done, 200000), 0);
  std::string const out = testing::internal::GetCapturedStdout();

  std::vector<double> expected;
  for (double v = kSpeedStart; v <= kSpeedMax; v += kSpeedStep) {
    expected.push_back(v);
    expected.push_back(v);
  }
  ASSERT_EQ(expected.size(), 2u * gridCount(kSpeedStart, kSpeedMax, kSpeedStep));
  EXPECT_EQ(h.moveSpeeds(), expected);
  vb::sim::JointTruth const truth = h.truth(j);
  EXPECT_NEAR(c.max_vib_target_vel[j], truth.worst_speed_rad_s, 1e-12);
  // At the worst speed the simulator puts them within a tenth of a bin of a bin.
  expectComponentsAt(h, j, c.max_vib_target_vel[j], kBinSpacing / 2);
  // The result lines once, after one rms line per speed that became the worst so far.
  size_t const rms_lines = count(out, "origin_vel_err_rmse: ");
  EXPECT_GE(rms_lines, 1u);
  EXPECT_EQ(count(out, "max vib velo"), 1u);
  EXPECT_EQ(out.substr(out.find(std::to_string(j) + " max vib velo")), resultLines(c, j));
}

// A start speed above the top speed: the reset finishes the traversal, the first call prints the
// values the identification reset left, and nothing moves.
TEST(Traversal, StartAboveTheTopSpeedMovesNothing) {
  Harness h;
  h.identificationReset();
  h.forgetCalls();
  StageComponent& c = *h.component;
  double const above = 2 * kSpeedMax;
  c.velocityTraversal(false, 4, kTravel, above, kSpeedMax, kSpeedStep);
  h.drive([&] { c.velocityTraversal(true, 4, kTravel, above, kSpeedMax, kSpeedStep); });
  testing::internal::CaptureStdout();
  h.cycle();
  std::string const out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(c.trav_done[4]);
  EXPECT_EQ(out,
            "4 max vib velo: 0.00872665\n4 first freq: 0 0 0 0\n4 second freq: 0 0 0 0\n"
            "4 third freq: 0 0 0 0\n");
  EXPECT_EQ(h.count("movej2"), 0u);
}

// The outward move of the third speed in error: finished with what the first two speeds found.
TEST(Traversal, OutwardMoveErrorFinishesWithTheSpeedsBefore) {
  Harness h;
  unsigned const j = 3;
  h.sim.failTask(static_cast<int>(j), TaskKind::Motion, 5);
  h.identificationReset();
  h.forgetCalls();
  StageComponent& c = *h.component;
  EXPECT_GT(h.runStage(&StageComponent::traversal, j, c.trav_done, 100000), 0);
  EXPECT_EQ(h.count("movej2"), 5u);
  double const v = c.max_vib_target_vel[j];
  EXPECT_TRUE(v == kSpeedStart || v == kSpeedStart + kSpeedStep) << v;
}

// The return move in error: failed for good, worst speed 0 on every call, never done.
TEST(Traversal, ReturnMoveErrorFails) {
  Harness h;
  vb::GlobalValue::vb_high_speed_mode = true;
  h.sim.failTask(2, TaskKind::Motion, 2);
  h.identificationReset();
  StageComponent& c = *h.component;
  EXPECT_EQ(h.runStage(&StageComponent::traversal, 2, c.trav_done, 4000), -1);
  EXPECT_EQ(c.max_vib_target_vel[2], 0.0);
  EXPECT_EQ(h.count("movej2"), 2u);
  EXPECT_EQ(c.first_feat_order[2], 0u);
}

// A gear-ratio list without the joint's entry matches no order: nothing is recorded.
TEST(Traversal, NoGearRatioForTheJointMatchesNoOrder) {
  Harness h;
  vb::GlobalValue::vb_high_speed_mode = true;
  std::vector<short> saved;
  {
    std::lock_guard<std::mutex> lock(vb::GlobalValue::table_mutex);
    saved = vb::GlobalValue::robot_axis_ratio;
    vb::GlobalValue::robot_axis_ratio.resize(5);
  }
  h.identificationReset();
  StageComponent& c = *h.component;
  testing::internal::CaptureStdout();
  EXPECT_GT(h.runStage(&StageComponent::traversal, 5, c.trav_done, 5000), 0);
  std::string const out = testing::internal::GetCapturedStdout();
  {
    std::lock_guard<std::mutex> lock(vb::GlobalValue::table_mutex);
    vb::GlobalValue::robot_axis_ratio = saved;
  }
  EXPECT_EQ(h.count("movej2"), 2u);
  EXPECT_EQ(count(out, "origin_vel_err_rmse: "), 0u);
  EXPECT_EQ(c.max_vib_target_vel[5], kSpeedStart);
  EXPECT_EQ(c.third_feat_order[5], 0u);
  EXPECT_EQ(c.third_freq[5], 0.0);
}

// The thresholds of a speed are the slot amplitudes recorded before it. Nothing is recorded at a
// speed whose strongest component does not beat the largest threshold, not even a slot that
// beats its own; a recorded speed clears a slot that found no component above its threshold.
struct ThresholdCase {
  const char* name;
  double before[3];  // the slot amplitudes an earlier speed left
  bool recorded;
  bool third_found;
};

class TraversalThresholds : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(TraversalThresholds, OfEarlierSpeeds) {
  ThresholdCase const t = GetParam();
  vb::sim::SimConfig config = vb::test::topSpeedConfig();
  config.joints[1].components[2].amplitude = 0.1;  // the stator-slot component made weakest
  Harness h(config);
  vb::GlobalValue::vb_high_speed_mode = true;
  h.identificationReset();
  StageComponent& c = *h.component;
  unsigned const j = 1;
  c.max_vib_target_vel[j] = 0.0123;
  c.first_freq[j] = c.second_freq[j] = c.third_freq[j] = 1.0;
  c.first_order[j] = c.second_order[j] = c.third_order[j] = 2.0;
  c.first_feat_order[j] = 6;
  c.second_feat_order[j] = 12;
  c.third_feat_order[j] = 18;
  c.first_freq_vib_amp[j] = t.before[0];
  c.second_freq_vib_amp[j] = t.before[1];
  c.third_freq_vib_amp[j] = t.before[2];
  testing::internal::CaptureStdout();
  ASSERT_GT(h.runStage(&StageComponent::traversal, j, c.trav_done, 5000), 0);
  std::string const out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "origin_vel_err_rmse: "), t.recorded ? 1u : 0u);
  if (!t.recorded) {
    EXPECT_EQ(c.max_vib_target_vel[j], 0.0123);
    EXPECT_EQ(c.second_freq[j], 1.0);
    EXPECT_EQ(c.second_freq_vib_amp[j], t.before[1]);
    EXPECT_EQ(c.third_feat_order[j], 18u);
    return;
  }
  EXPECT_EQ(c.max_vib_target_vel[j], kSpeedMax);
  EXPECT_EQ(c.first_feat_order[j], 6u);
  EXPECT_GT(c.first_freq_vib_amp[j], 0.06);
  if (t.third_found) {
    EXPECT_EQ(c.third_feat_order[j], 18u);
    EXPECT_GT(c.third_freq_vib_amp[j], 0.01);
    EXPECT_LT(c.third_freq_vib_amp[j], 0.06);
  } else {
    EXPECT_EQ(c.third_freq[j], 0.0);
    EXPECT_EQ(c.third_order[j], 0.0);
    EXPECT_EQ(c.third_feat_order[j], 0u);
    EXPECT_EQ(c.third_freq_vib_amp[j], 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TraversalThresholds,
    ::testing::Values(ThresholdCase{"NoneBefore", {0.0, 0.0, 0.0}, true, true},
                      ThresholdCase{"LargestNotBeaten", {0.5, 0.02, 0.0}, false, false},
                      ThresholdCase{"ThirdAboveItsComponent", {0.0, 0.0, 0.06}, true, false}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
