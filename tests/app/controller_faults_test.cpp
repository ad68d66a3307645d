// The controller lost or restarted around a test, with the real component stepped cycle by cycle
// against the simulated controller and the operator's side through the real web commands: a
// finished test stays finished with its results, and the operator's joint parameters outlive a
// reconnection.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Global.h"
#include "WebServer.h"
#include "component_rig.h"
#include "stage_harness.h"

namespace vb::test {
namespace {

namespace G = GlobalValue;

// One web command as the web thread serves it; its reply.
std::string command(std::string const& payload) {
  return WebServer::handle_command(payload).value_or("");
}

std::string update() { return command(R"({"task":"update","id":1})"); }

int publishedTestState() {
  std::lock_guard<std::mutex> lock(G::table_mutex);
  return G::vb_test_state;
}

// How the robot's state goes missing, or really changes, while the test is finished.
struct LossCase {
  char const* name;
  void (*lose)(Rig&);
  void (*restore)(Rig&);
  bool restarts;  // a real departure from the runnable state: the command still given, anew
};

class FinishedTest : public testing::TestWithParam<LossCase> {};

// A finished identification, then the controller lost for some seconds and back: nothing
// restarts, the robot is neither moved nor written to, the operator sees the same results, and
// the joint can be activated. Only a robot that really left its runnable state starts anew.
TEST_P(FinishedTest, StaysFinishedWhenTheControllerIsLost) {
  Rig rig(topSpeedConfig());
  unsigned const j = 1;
  G::vb_test_mode = static_cast<int>(j);
  G::vb_high_speed_mode = true;
  G::vb_test_cmd = 1;
  ASSERT_GT(rig.runUntil([&] { return rig.handler->test_state == 2; }, 120000), 0);
  rig.cycle(5);
  ASSERT_TRUE(rig.handler->verified[j]);
  std::string const results = update();
  ASSERT_NE(results.find(R"("test_state":2)"), std::string::npos) << results;

  testing::internal::CaptureStdout();
  GetParam().lose(rig);
  rig.cycle(800);  // three reconnection attempts, where the connection is gone
  EXPECT_EQ(publishedTestState(), GetParam().restarts ? 0 : 2);
  GetParam().restore(rig);
  rig.sim.clearCalls();
  if (GetParam().restarts) {
    EXPECT_GT(rig.runUntil([&] { return rig.handler->test_state == 1; }, 1000), 0);
    testing::internal::GetCapturedStdout();
    auto const writes = rig.sim.callsOf("set_servo_config");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().args, "0, 43, 0, 0, false") << "the reset's first zero word";
    EXPECT_FALSE(rig.handler->verified[j]);
    return;
  }
  ASSERT_GT(rig.runUntil([&] { return rig.sim.callCount("get_robot_state") > 0; }, 600), 0);
  rig.cycle(1000);
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(rig.sim.callCount("movej2"), 0u);
  EXPECT_EQ(rig.sim.callCount("set_servo_config"), 0u);
  EXPECT_EQ(rig.sim.callCount("apply_servo_config"), 0u);
  EXPECT_EQ(rig.sim.callCount("stop"), 0u);
  EXPECT_EQ(update(), results);

  std::string const reply = command(R"({"task":"activateIDResult","id":2,"req":{"num":1}})");
  EXPECT_NE(reply.find(R"("success":true)"), std::string::npos) << reply;
  ASSERT_GT(rig.runUntil([&] { return rig.handler->activated[j]; }, 2000), 0);
  VibrationTestHandler const& c = *rig.handler;
  unsigned const words[3] = {c.first_servo_param[j], c.second_servo_param[j],
                             c.third_servo_param[j]};
  int const params[3] = {43, 45, 26};
  for (int x = 0; x < 3; ++x) {
    EXPECT_NE(words[x], 0u);
    EXPECT_EQ(rig.sim.activeServoParam(static_cast<int>(j), params[x]),
              static_cast<int32_t>(words[x]));
  }
  EXPECT_EQ(publishedTestState(), 2);
}

void stopController(Rig& rig) { rig.sim.stop(); }
void restartController(Rig& rig) { rig.restartController(); }
void sendShortList(Rig& rig) { rig.sim.setRobotState({6, 0, 5}); }
void leaveSafetyRun(Rig& rig) { rig.sim.setRobotState({6, 0, 4, 1}); }
void runnableAgain(Rig& rig) { rig.sim.setRobotState({6, 0, 5, 1}); }

INSTANTIATE_TEST_SUITE_P(
    Losses, FinishedTest,
    testing::Values(LossCase{"ControllerKilledAndRestarted", stopController, restartController,
                             false},
                    LossCase{"ShortRobotStateList", sendShortList, runnableAgain, false},
                    LossCase{"SafetyLeftItsRunState", leaveSafetyRun, runnableAgain, true}),
    [](testing::TestParamInfo<LossCase> const& info) { return std::string(info.param.name); });

// The shared motor data and the nominal orders as the web side sees them.
struct SharedMotorData {
  std::vector<short> pole_pairs, stator_slots, ratios;
  std::vector<unsigned> orders;  // the nominal orders of the six joints, row by row

  static SharedMotorData now() {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    SharedMotorData d{G::robot_motor_pole_pair, G::robot_stator_slots, G::robot_axis_ratio, {}};
    for (auto const& row : G::vb_feat_freq_order) d.orders.insert(d.orders.end(), row, row + 3);
    return d;
  }
  static SharedMotorData of(short pole_pairs, short slots, short ratio) {
    SharedMotorData d{std::vector<short>(6, pole_pairs),
                      std::vector<short>(6, slots),
                      std::vector<short>(6, ratio),
                      {}};
    for (int j = 0; j < 6; ++j) {
      d.orders.insert(d.orders.end(),
                      {static_cast<unsigned>(pole_pairs), static_cast<unsigned>(2 * pole_pairs),
                       static_cast<unsigned>(slots)});
    }
    return d;
  }
  bool operator==(SharedMotorData const& o) const {
    return pole_pairs == o.pole_pairs && stator_slots == o.stator_slots && ratios == o.ratios &&
           orders == o.orders;
  }
};

void PrintTo(SharedMotorData const& d, std::ostream* os) {
  *os << "pole pairs " << testing::PrintToString(d.pole_pairs) << ", slots "
      << testing::PrintToString(d.stator_slots) << ", ratios " << testing::PrintToString(d.ratios);
}

// Whether the controller is there when the program configures, or comes a little later.
class OperatorJointParams : public testing::TestWithParam<bool> {};

// The controller's motor data are read once they can be (at the configuration, or when the
// controller first answers); the operator then sets 7/9/50 for every joint, and a one-second
// connection drop leaves them as they are.
TEST_P(OperatorJointParams, SurviveAConnectionDrop) {
  bool const there_at_start = GetParam();
  sim::SimConfig config;
  for (sim::JointConfig& joint : config.joints) {
    joint.pole_pairs = 5;
    joint.stator_slots = 12;
    joint.gear_ratio = 121;
  }
  {
    // As at program start (an earlier test of this process may have changed them).
    std::lock_guard<std::mutex> lock(G::table_mutex);
    G::robot_motor_pole_pair.assign(6, 8);
    G::robot_stator_slots.assign(6, 18);
    G::robot_axis_ratio.assign(6, 101);
  }
  Rig rig(config, false);
  if (!there_at_start) rig.sim.stop();
  testing::internal::CaptureStdout();
  rig.configureAndStart();
  if (!there_at_start) {
    EXPECT_EQ(SharedMotorData::now(), SharedMotorData::of(8, 18, 101)) << "the defaults";
    rig.cycle(10);
    rig.restartController();
  }
  ASSERT_GT(rig.runUntil([&] { return rig.handler->connected; }, 1000), 0);
  rig.cycle(2);
  EXPECT_EQ(SharedMotorData::now(), SharedMotorData::of(5, 12, 121)) << "the controller's";
  EXPECT_EQ(rig.sim.callCount("get_motor_pole_pair_number"), 1u);

  std::string const reply =
      command(R"({"task":"setJointParam","id":3,"req":{"motor_pole_pair":[7,7,7,7,7,7],)"
              R"("stator_slots":[9,9,9,9,9,9],"joint_ratio":[50,50,50,50,50,50]}})");
  EXPECT_NE(reply.find(R"("success":true)"), std::string::npos) << reply;
  rig.cycle(2);
  SharedMotorData const operators = SharedMotorData::of(7, 9, 50);
  EXPECT_EQ(SharedMotorData::now(), operators);

  rig.sim.clearCalls();
  rig.sim.dropConnectionsFor(1.0);
  // The drop lasts a second of wall-clock time: cycles at about their real pace until the
  // connection (attempted once a second of cycles) is back.
  bool const back = waitFor(
      [&] {
        rig.cycle();
        return rig.handler->connected && rig.sim.callCount("get_robot_state") > 0;
      },
      30);
  rig.cycle(300);
  std::string const out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(back);
  EXPECT_NE(out.find("connectToOvraCobot successed.connectToOvraCobot end .\n"), std::string::npos);
  EXPECT_EQ(SharedMotorData::now(), operators);
  EXPECT_EQ(rig.sim.callCount("get_motor_pole_pair_number"), 0u);
  for (int j = 0; j < 6; ++j) {
    EXPECT_EQ(rig.handler->feat_freq_order[j][0], 7u);
    EXPECT_EQ(rig.handler->feat_freq_order[j][2], 9u);
    EXPECT_EQ(rig.handler->axis_ratio[j], 50);
  }
  std::string const params = command(R"({"task":"getJointParam","id":4})");
  EXPECT_NE(params.find(R"("motor_pole_pair":[7,7,7,7,7,7],"stator_slots":[9,9,9,9,9,9],)"
                        R"("joint_ratio":[50,50,50,50,50,50])"),
            std::string::npos)
      << params;
}

INSTANTIATE_TEST_SUITE_P(Controller, OperatorJointParams, testing::Values(true, false),
                         [](testing::TestParamInfo<bool> const& info) {
                           return std::string(info.param ? "ThereAtStart" : "ComesLater");
                         });

}  // namespace
}  // namespace vb::test
