// The test dispatcher and the identification reset through the real control cycle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "component_rig.h"
#include "sim/SimController.h"

namespace vb::test {
namespace {

namespace G = GlobalValue;

// The component with its four stages replaced by recorders: the dispatcher's choices are seen
// without any move. A stage given start true finishes at once by setting its flag.
class RecordingStages : public VibrationTestHandler {
 public:
  using VibrationTestHandler::VibrationTestHandler;

  struct Call {
    int stage;  // 0 traversal, 1 phase scan, 2 current scan, 3 verification
    bool start;
    int joint;
  };
  std::vector<Call> calls;
  bool finish_at_once = false;
  std::vector<double> arguments;  // the last call's double arguments, per stage

  void velocityTraversal(bool const& start, unsigned char const& joint, double const& travel,
                         double const& v_start, double const& v_max,
                         double const& v_step) override {
    record(0, start, joint, trav_done, {travel, v_start, v_max, v_step});
  }
  void vibrationPhaseId(bool const& start, unsigned char const& joint, double const& travel,
                        double const& current, double const& p_start, double const& p_max,
                        double const& p_step) override {
    record(1, start, joint, phase_done, {travel, current, p_start, p_max, p_step});
  }
  void vibrationCurrentId(bool const& start, unsigned char const& joint, double const& travel,
                          double const& c_start, double const& c_max,
                          double const& c_step) override {
    record(2, start, joint, current_done, {travel, c_start, c_max, c_step});
  }
  void verifyIdResult(bool const& start, unsigned char const& joint,
                      double const& travel) override {
    record(3, start, joint, verified, {travel});
  }

 private:
  void record(int stage, bool start, int joint, bool* flags, std::vector<double> args) {
    calls.push_back({stage, start, joint});
    if (start) arguments = std::move(args);
    if (start && finish_at_once) flags[joint] = true;
  }
};

using StageRig = BasicRig<RecordingStages>;

// Runs the identification reset through; the cycles it took.
long throughReset(StageRig& rig, int mode) {
  G::vb_test_mode = mode;
  G::vb_test_cmd = 1;
  return rig.runUntil([&] { return rig.handler->test_state == 1; }, 2000);
}

TEST(IdentificationReset, ClearsAllJointsDrivesInJointOrder) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  for (int j = 0; j < 6; ++j) {
    h.first_optimum_current[j] = 1.5;
    h.third_optimum_amp[j] = 0.25;
    h.second_servo_param[j] = 12551;
    h.first_optimum_phase[j] = 2.2;
    h.verified[j] = true;
    h.activated[j] = true;
    h.trav_done[j] = true;
    h.max_vib_target_vel[j] = 0.03;
  }
  const long cycles = throughReset(rig, 3);
  // Two cycles to start, twelve per joint, the done cycle.
  EXPECT_EQ(cycles, 75);
  EXPECT_EQ(h.test_joint, 3u);
  for (int j = 0; j < 6; ++j) {
    EXPECT_EQ(h.first_feat_order[j], 0u);
    EXPECT_EQ(h.second_feat_order[j], 0u);
    EXPECT_EQ(h.third_feat_order[j], 0u);
    EXPECT_EQ(h.first_optimum_phase[j], 0.0);
    EXPECT_EQ(h.max_vib_target_vel[j], kSpeedStart);
    EXPECT_FALSE(h.verified[j] || h.activated[j] || h.trav_done[j]);
    EXPECT_EQ(h.first_optimum_current[j], 1.5) << "kept until the new test overwrites it";
    EXPECT_EQ(h.third_optimum_amp[j], 0.25);
    EXPECT_EQ(h.second_servo_param[j], 12551u);
  }
  // Zeros applied to 43, 45 and 26 of joints 0 to 5 in turn; the file is not touched.
  std::vector<std::string> applied;
  for (auto const& a : rig.sim.servoApplies()) {
    applied.push_back(std::to_string(a.joint) + ":" + std::to_string(a.param_id) + "=" +
                      std::to_string(a.value));
  }
  std::vector<std::string> want;
  for (int j = 0; j < 6; ++j) {
    for (int id : {26, 43, 45}) want.push_back(std::to_string(j) + ":" + std::to_string(id) + "=0");
  }
  EXPECT_EQ(applied, want);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 0u);
  // The traversal was reset with the dispatcher's arguments.
  ASSERT_FALSE(h.calls.empty());
  EXPECT_FALSE(h.calls.front().start);
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::vb_test_state, 1);
  EXPECT_EQ(G::vb_first_feat_order[0], 0u);
}

TEST(IdentificationReset, WithdrawnAndGivenAgainContinuesWithTheSameJoint) {
  StageRig rig;
  G::vb_test_mode = 0;
  G::vb_test_cmd = 1;
  ASSERT_GT(rig.runUntil([&] { return rig.sim.callsOf("set_servo_config").size() == 10; }, 200),
            0);  // joint 3's first write
  G::vb_test_cmd = 0;
  rig.cycle(20);
  rig.sim.clearCalls();
  G::vb_test_cmd = 1;
  ASSERT_GT(rig.runUntil([&] { return rig.handler->test_state == 1; }, 200), 0);
  std::vector<std::string> writes;
  for (auto const& call : rig.sim.callsOf("set_servo_config")) writes.push_back(call.args);
  // Joint 3 goes on where it stood (its parameter 43 was written), then 4 and 5.
  ASSERT_EQ(writes.size(), 8u);
  EXPECT_EQ(writes[0], "3, 45, 0, 0, false");
  EXPECT_EQ(writes[1], "3, 26, 0, 0, false");
  EXPECT_EQ(writes[2], "4, 43, 0, 0, false");
  EXPECT_EQ(writes[7], "5, 26, 0, 0, false");
}

// A joint whose clearing fails is retried a second of cycles later, with an error line naming it,
// until it succeeds.
TEST(IdentificationReset, FailedClearingRetriedOnceASecond) {
  StageRig rig;
  rig.sim.failTask(3, sim::TaskKind::Servo, 2);  // joint 3, parameter 45
  rig.sim.failTask(3, sim::TaskKind::Servo, 4);  // and again at the first retry's 45
  testing::internal::CaptureStderr();
  const long cycles = throughReset(rig, 0);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_GT(cycles, 0);
  EXPECT_GT(cycles, 75 + 2 * 250);
  EXPECT_LT(cycles, 75 + 2 * 250 + 20);
  // Each failure: the servo machine's own line, then the reset's.
  const std::string line =
      "resetPhaseAndCurrent: joint 3 failed: the write of parameter 45 reported an error\n"
      "resetId: clearing the servo compensation of joint 3 failed; retrying in 1 s\n";
  EXPECT_EQ(err, line + line);
  for (int id : {43, 45, 26}) EXPECT_EQ(rig.sim.activeServoParam(3, id), 0);
  // The retries start a second of simulated time after each failure.
  std::vector<double> first_writes;
  for (auto const& call : rig.sim.callsOf("set_servo_config")) {
    if (call.args.rfind("3, 43,", 0) == 0) first_writes.push_back(call.sim_time);
  }
  ASSERT_EQ(first_writes.size(), 3u);
  EXPECT_GE(first_writes[1] - first_writes[0], 1.0);
  EXPECT_GE(first_writes[2] - first_writes[1], 1.0);
}

// A deactivation whose servo task failed leaves the reset machine failed; the next identification
// reset still gets through.
TEST(IdentificationReset, NotHeldByAFailedDeactivation) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  h.verified[2] = true;
  h.activated[2] = true;
  rig.sim.failTask(2, sim::TaskKind::Servo, 1);
  G::vb_activate_param[2] = false;
  ASSERT_GT(rig.runUntil([&] { return G::vb_activate_param[2].load(); }, 50), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(throughReset(rig, 0), 75);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Dispatcher, ProgramRunningAtTheStartIsStoppedEveryResetCycle) {
  sim::SimConfig config;
  config.robot_state = {6, 1, 5, 1};
  StageRig rig(config);
  G::vb_test_mode = 0;
  G::vb_test_cmd = 1;
  rig.cycle(10);
  EXPECT_EQ(rig.sim.callCount("stop"), 10u);
  rig.sim.setRobotState({6, 0, 5, 1});
  rig.cycle(10);
  EXPECT_EQ(rig.sim.callCount("stop"), 10u);
}

class InvalidMode : public testing::TestWithParam<int> {};

TEST_P(InvalidMode, DispatcherStaysIdle) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  h.test_joint = 4;
  G::vb_test_mode = GetParam();
  G::vb_test_cmd = 1;
  rig.cycle(100);
  EXPECT_EQ(h.test_state, 0);
  EXPECT_EQ(h.test_joint, 4u);
  EXPECT_EQ(rig.sim.callCount("set_servo_config"), 0u);
  EXPECT_TRUE(h.calls.empty());
  // A valid mode afterwards starts the test.
  G::vb_test_mode = 5;
  EXPECT_EQ(rig.runUntil([&] { return h.test_state == 1; }, 200), 75);
  EXPECT_EQ(h.test_joint, 5u);
}

INSTANTIATE_TEST_SUITE_P(Modes, InvalidMode, testing::Values(6, 7, 98, 100, -1, 255, 1000000),
                         [](testing::TestParamInfo<int> const& info) {
                           return info.param < 0 ? "ModeMinus" + std::to_string(-info.param)
                                                 : "Mode" + std::to_string(info.param);
                         });

// Which stage gets start true, by the joint's flags; the others are held reset, all four are
// called in order on every cycle.
struct FlagsCase {
  bool trav, phase, current, verified;
  int active;  // the stage given start true, -1 none
};

void PrintTo(FlagsCase const& c, std::ostream* os) {
  *os << c.trav << c.phase << c.current << c.verified << " -> " << c.active;
}

class StageChoice : public testing::TestWithParam<FlagsCase> {};

TEST_P(StageChoice, FirstUnfinishedStageRuns) {
  const FlagsCase& c = GetParam();
  StageRig rig;
  RecordingStages& h = *rig.handler;
  ASSERT_GT(throughReset(rig, 2), 0);
  h.trav_done[2] = c.trav;
  h.phase_done[2] = c.phase;
  h.current_done[2] = c.current;
  h.verified[2] = c.verified;
  h.calls.clear();
  rig.cycle();
  if (c.active < 0) {
    EXPECT_TRUE(h.calls.empty());
    EXPECT_EQ(h.test_state, 2);
    return;
  }
  ASSERT_EQ(h.calls.size(), 4u);
  for (int s = 0; s < 4; ++s) {
    EXPECT_EQ(h.calls[s].stage, s);
    EXPECT_EQ(h.calls[s].joint, 2);
    EXPECT_EQ(h.calls[s].start, s == c.active) << "stage " << s;
  }
  EXPECT_EQ(h.test_state, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, StageChoice,
    testing::Values(FlagsCase{false, false, false, false, 0},
                    FlagsCase{true, false, false, false, 1}, FlagsCase{true, true, false, false, 2},
                    FlagsCase{true, true, true, false, 3}, FlagsCase{false, true, true, true, 0},
                    FlagsCase{true, false, true, true, 1}, FlagsCase{true, true, true, true, -1}));

TEST(Dispatcher, StageArguments) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  ASSERT_GT(throughReset(rig, 0), 0);
  const std::vector<std::vector<double>> want = {
      {0.17453292519943295, 0.008726646259971648, 0.03490658503988659, 0.0017453292519943296},
      {0.17453292519943295, 1.2, 0.0, 6.2, 0.2},
      {0.17453292519943295, 0.0, 2.1, 0.3},
      {0.17453292519943295}};
  bool* flags[4] = {h.trav_done, h.phase_done, h.current_done, h.verified};
  for (int s = 0; s < 4; ++s) {
    rig.cycle();
    EXPECT_EQ(h.arguments, want[s]) << "stage " << s;
    flags[s][0] = true;
  }
  // The grids those arguments form, summed up in floating point: every value up to the limit.
  EXPECT_EQ(gridCount(kSpeedStart, kSpeedMax, kSpeedStep), 16);
  EXPECT_EQ(gridCount(kPhaseStart, kPhaseMax, kPhaseStep), 31);
  EXPECT_EQ(gridCount(kCurrentStart, kCurrentMax, kCurrentStep), 8);
}

TEST(Dispatcher, AllJointsInTurnThenFinished) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  h.finish_at_once = true;
  ASSERT_GT(throughReset(rig, 99), 0);
  EXPECT_EQ(h.test_joint, 0u);
  // Per joint: four cycles for the stages, one to move on.
  const long cycles = rig.runUntil([&] { return h.test_state == 2; }, 100);
  EXPECT_EQ(cycles, 6 * 5);
  std::vector<int> started;
  for (auto const& call : h.calls) {
    if (call.start) started.push_back(call.joint * 10 + call.stage);
  }
  std::vector<int> want;
  for (int j = 0; j < 6; ++j) {
    for (int s = 0; s < 4; ++s) want.push_back(j * 10 + s);
  }
  EXPECT_EQ(started, want);
  // Finished stays finished while the command stays 1.
  h.calls.clear();
  rig.cycle(5);
  EXPECT_EQ(h.test_state, 2);
  EXPECT_TRUE(h.calls.empty());
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::vb_test_state, 2);
}

TEST(Dispatcher, ModeChangedDuringAllJointsTakesEffectAfterTheCurrentJoint) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  h.finish_at_once = true;
  ASSERT_GT(throughReset(rig, 99), 0);
  rig.cycle(5 + 2);  // joint 0 done, joint 1 half-way
  G::vb_test_mode = 4;
  rig.cycle(3);
  EXPECT_EQ(h.test_state, 2);
  EXPECT_EQ(h.test_joint, 1u);
}

TEST(Dispatcher, StopCommandEndsTheTestAndKeepsVerifiedJoints) {
  StageRig rig;
  RecordingStages& h = *rig.handler;
  h.finish_at_once = true;
  ASSERT_GT(throughReset(rig, 99), 0);
  rig.cycle(2 * 5 + 1);  // joints 0 and 1 verified, joint 2's traversal started
  G::vb_test_cmd = 0;
  h.calls.clear();
  rig.cycle();
  EXPECT_EQ(h.test_state, 0);
  EXPECT_TRUE(h.calls.empty());
  EXPECT_TRUE(h.verified[0] && h.verified[1]);
  EXPECT_FALSE(h.verified[2]);
  // Joint 1 can be activated now.
  G::vb_activate_param[1] = true;
  EXPECT_GT(rig.runUntil([&] { return h.activated[1]; }, 100), 0);
}

}  // namespace
}  // namespace vb::test
