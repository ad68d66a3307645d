// The verification on its own and after the real traversal and scans, through the real control
// cycle against the simulator: residual amplitudes, servo words, printed result, failures.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "stage_harness.h"

namespace {

using vb::sim::TaskKind;
using vb::test::Harness;
using vb::test::StageComponent;

size_t count(std::string const& text, std::string const& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The result block as the verification prints it.
std::string resultBlock(StageComponent const& c, unsigned j) {
  std::ostringstream out;
  out << j << " optimum result: \n";
  out << c.first_freq[j] << " " << c.first_feat_order[j] << " " << c.first_freq_vib_amp[j] << " "
      << c.first_optimum_amp[j] << "  " << c.first_optimum_phase[j] << " "
      << c.first_optimum_current[j] << " " << c.first_servo_param[j] << "\n";
  out << c.second_freq[j] << " " << c.second_feat_order[j] << " " << c.second_freq_vib_amp[j] << " "
      << c.second_optimum_amp[j] << "  " << c.second_optimum_phase[j] << " "
      << c.second_optimum_current[j] << " " << c.second_servo_param[j] << "\n";
  out << c.third_freq[j] << " " << c.third_feat_order[j] << " " << c.third_freq_vib_amp[j] << " "
      << c.third_optimum_amp[j] << "  " << c.third_optimum_phase[j] << " "
      << c.third_optimum_current[j] << " " << c.third_servo_param[j] << "\n";
  return out.str();
}

void traverse(Harness& h, unsigned char j) {
  vb::GlobalValue::vb_high_speed_mode = true;
  h.identificationReset();
  ASSERT_GT(h.runStage(&StageComponent::traversal, j, h.component->trav_done, 5000), 0);
}

// The identified compensation leaves at most a tenth of each component; the servo words are the
// encoding of the true optima, they stand applied in the drive, and the result is printed once.
TEST(Verification, AfterTheScansResidualsAndWords) {
  Harness h;
  unsigned char const j = 3;
  traverse(h, j);
  StageComponent& c = *h.component;
  ASSERT_GT(h.runStage(&StageComponent::phaseScan, j, c.phase_done, 60000), 0);
  ASSERT_GT(h.runStage(&StageComponent::currentScan, j, c.current_done, 20000), 0);
  h.forgetCalls();
  testing::internal::CaptureStdout();
  ASSERT_GT(h.runStage(&StageComponent::verification, j, c.verified, 5000), 0);
  std::string const out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(h.count("movej2"), 2u);
  EXPECT_EQ(h.count("apply_servo_config"), 1u);
  vb::sim::JointTruth const truth = h.truth(j);
  double const before[3] = {c.first_freq_vib_amp[j], c.second_freq_vib_amp[j],
                            c.third_freq_vib_amp[j]};
  double const after[3] = {c.first_optimum_amp[j], c.second_optimum_amp[j], c.third_optimum_amp[j]};
  unsigned const words[3] = {c.first_servo_param[j], c.second_servo_param[j],
                             c.third_servo_param[j]};
  int const params[3] = {43, 45, 26};
  for (int x = 0; x < 3; ++x) {
    SCOPED_TRACE("slot " + std::to_string(x));
    EXPECT_GT(before[x], 0.01);
    EXPECT_LE(after[x], 0.1 * before[x]);
    EXPECT_EQ(words[x], truth.components[x].servo_word);
    EXPECT_EQ(h.sim.activeServoParam(j, params[x]), static_cast<int32_t>(words[x]));
  }
  EXPECT_EQ(count(out, "final_vel_err_rmse: "), 1u);
  EXPECT_EQ(out.rfind("final_vel_err_rmse: ", 0), 0u);
  EXPECT_EQ(out.substr(out.find('\n') + 1), resultBlock(c, j));
}

// No component (all orders 0): one pair of moves, words 0, verified; the residual amplitudes
// stand as they were, as nothing is measured at no frequency.
TEST(Verification, NoComponentGivesZeroWords) {
  Harness h;
  h.identificationReset();
  StageComponent& c = *h.component;
  c.first_optimum_amp[1] = 0.123;
  c.third_servo_param[1] = 77;
  h.forgetCalls();
  testing::internal::CaptureStdout();
  ASSERT_GT(h.runStage(&StageComponent::verification, 1, c.verified, 30000), 0);
  std::string const out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(h.count("movej2"), 2u);
  EXPECT_EQ(h.count("set_servo_config"), 0u);
  EXPECT_EQ(c.first_optimum_amp[1], 0.123);
  EXPECT_EQ(c.first_servo_param[1], 0u);
  EXPECT_EQ(c.third_servo_param[1], 0u);
  EXPECT_EQ(out.substr(out.find('\n') + 1),
            "1 optimum result: \n0 0 0 0.123  0 0 0\n0 0 0 0  0 0 0\n0 0 0 0  0 0 0\n");
}

// Moves without samples measure nothing: no rms line, the residual amplitudes unchanged.
TEST(Verification, MovesWithoutSamplesSkipTheMeasurement) {
  Harness h;
  unsigned char const j = 0;
  traverse(h, j);
  StageComponent& c = *h.component;
  c.first_optimum_amp[j] = 0.5;
  c.second_optimum_amp[j] = 0.6;
  c.third_optimum_amp[j] = 0.7;
  double const no_travel = 0.0;
  c.verifyIdResult(false, j, no_travel);
  h.drive([&] { c.verifyIdResult(true, j, no_travel); });
  testing::internal::CaptureStdout();
  ASSERT_GT(h.runUntil([&] { return c.verified[j]; }, 1000), 0);
  std::string const out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "final_vel_err_rmse"), 0u);
  EXPECT_EQ(out, resultBlock(c, j));
  EXPECT_EQ(c.first_optimum_amp[j], 0.5);
  EXPECT_EQ(c.second_optimum_amp[j], 0.6);
  EXPECT_EQ(c.third_optimum_amp[j], 0.7);
}

struct FailureCase {
  const char* name;
  TaskKind kind;
  int nth;  // counted from the first task of that kind the verification starts
  uint64_t moves;
};

class VerificationFailure : public ::testing::TestWithParam<FailureCase> {};

// A failed compensation write or a move error: failed for good, nothing printed or written.
TEST_P(VerificationFailure, FailsWithoutAResult) {
  FailureCase const f = GetParam();
  Harness h;
  unsigned char const j = 2;
  traverse(h, j);
  StageComponent& c = *h.component;
  c.second_servo_param[j] = 1234;
  h.sim.failTask(j, f.kind, h.sim.taskCount(j, f.kind) + f.nth);
  h.forgetCalls();
  testing::internal::CaptureStdout();
  EXPECT_EQ(h.runStage(&StageComponent::verification, j, c.verified, 3000), -1);
  std::string const out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(h.count("movej2"), f.moves);
  EXPECT_EQ(out, "");
  EXPECT_EQ(c.second_servo_param[j], 1234u);
}

INSTANTIATE_TEST_SUITE_P(Faults, VerificationFailure,
                         ::testing::Values(FailureCase{"CompensationWrite", TaskKind::Servo, 2, 0},
                                           FailureCase{"OutwardMove", TaskKind::Motion, 1, 1},
                                           FailureCase{"ReturnMove", TaskKind::Motion, 2, 2}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
