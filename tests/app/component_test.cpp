// Construction, configuration, connection and the control cycle of the test component, stepped
// cycle by cycle against the simulated controller over loopback TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <rtt/extras/SlaveActivity.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "component_rig.h"
#include "sim/SimController.h"

namespace vb::test {
namespace {

namespace G = GlobalValue;

std::string repeated(std::string const& line, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += line;
  return out;
}

std::string motorLine(char const* title, std::vector<short> const& values) {
  std::string line = title;
  for (short v : values) line += std::to_string(v) + " ";
  return line + "\n";
}

// The three motor-data lines of six joints.
struct MotorData {
  std::vector<short> pole_pairs, stator_slots, ratios;

  std::string lines() const {
    return motorLine("motor_pole_pair: ", pole_pairs) + motorLine("stator_slots: ", stator_slots) +
           motorLine("joint_ratio: ", ratios);
  }
};

const MotorData kDefaultMotorData{std::vector<short>(6, 8), std::vector<short>(6, 18),
                                  std::vector<short>(6, 101)};

// A controller whose motors differ from the defaults in every joint, sending `length` entries;
// what the component keeps of them.
MotorData unusualMotors(sim::SimConfig& config, int length) {
  const short pole_pairs[6] = {4, 5, 6, 7, 9, 10};
  const short slots[6] = {12, 15, 20, 21, 24, 27};
  const short ratios[6] = {50, 81, 100, 120, 121, 161};
  for (int j = 0; j < 6; ++j) {
    config.joints[j].pole_pairs = pole_pairs[j];
    config.joints[j].stator_slots = slots[j];
    config.joints[j].gear_ratio = ratios[j];
  }
  config.motor_data_length = length;
  MotorData kept = kDefaultMotorData;
  for (int j = 0; j < std::min(length, 6); ++j) {
    kept.pole_pairs[j] = pole_pairs[j];
    kept.stator_slots[j] = slots[j];
    kept.ratios[j] = ratios[j];
  }
  return kept;
}

// The shared motor data, the nominal orders and the cycle's own copies all hold `want`.
void expectMotorData(VibrationTestHandler const& handler, MotorData const& want) {
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::robot_motor_pole_pair, want.pole_pairs);
  EXPECT_EQ(G::robot_stator_slots, want.stator_slots);
  EXPECT_EQ(G::robot_axis_ratio, want.ratios);
  for (int j = 0; j < 6; ++j) {
    EXPECT_EQ(G::vb_feat_freq_order[j][0], static_cast<unsigned>(want.pole_pairs[j])) << j;
    EXPECT_EQ(G::vb_feat_freq_order[j][1], static_cast<unsigned>(2 * want.pole_pairs[j])) << j;
    EXPECT_EQ(G::vb_feat_freq_order[j][2], static_cast<unsigned>(want.stator_slots[j])) << j;
    for (int s = 0; s < 3; ++s) {
      EXPECT_EQ(handler.feat_freq_order[j][s], G::vb_feat_freq_order[j][s]) << j;
    }
    EXPECT_EQ(handler.axis_ratio[j], want.ratios[j]) << j;
  }
  EXPECT_EQ(handler.axis_ratio_count, 6u);
}

TEST(ComponentConfiguration, ControllerAbsentPrintsFailureAndDefaultsAndStillConfigures) {
  RefusingPort nowhere;
  VibrationTestHandler handler("hello", "127.0.0.1", nowhere.port());
  EXPECT_EQ(handler.getTaskState(), RTT::base::TaskCore::PreOperational);
  for (int j = 0; j < 6; ++j) {
    EXPECT_EQ(handler.first_feat_order[j], 999u);
    EXPECT_EQ(handler.second_feat_order[j], 999u);
    EXPECT_EQ(handler.third_feat_order[j], 999u);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(G::vb_feat_freq_order[j][s], 0u) << "before configure";
  }

  testing::internal::CaptureStdout();
  const bool configured = handler.configure();
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(configured);
  EXPECT_EQ(handler.getTaskState(), RTT::base::TaskCore::Stopped);
  EXPECT_FALSE(handler.connected);
  EXPECT_EQ(out,
            "connectToOvraCobot failed.connectToOvraCobot end .\n"
            "motor_pole_pair: 8 8 8 8 8 8 \n"
            "stator_slots: 18 18 18 18 18 18 \n"
            "joint_ratio: 101 101 101 101 101 101 \n");
  for (int j = 0; j < 6; ++j) {
    EXPECT_EQ(G::vb_feat_freq_order[j][0], 8u);
    EXPECT_EQ(G::vb_feat_freq_order[j][1], 16u);
    EXPECT_EQ(G::vb_feat_freq_order[j][2], 18u);
  }
  EXPECT_TRUE(handler.start());
}

TEST(ComponentConfiguration, DisconnectWhileNotConnected) {
  RefusingPort nowhere;
  VibrationTestHandler handler("hello", "127.0.0.1", nowhere.port());
  testing::internal::CaptureStdout();
  EXPECT_EQ(handler.disconnectFromOvraCore(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "no need disConnectFromOvraCobot  .\n");
}

// Cases named by the length of the motor-data lists that the controller returns.
std::string lengthName(testing::TestParamInfo<int> const& info) {
  return "Length" + std::to_string(info.param);
}

// Motor data lists of any length leave exactly six joints: the controller's first six entries,
// the defaults where it sent fewer.
class MotorDataLength : public testing::TestWithParam<int> {};

TEST_P(MotorDataLength, FirstSixStoredDefaultsKept) {
  sim::SimConfig config;
  const MotorData want = unusualMotors(config, GetParam());
  Rig rig(config, false);

  testing::internal::CaptureStdout();
  EXPECT_TRUE(rig.handler->configure());
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(rig.handler->connected);
  EXPECT_EQ(out, "connectToOvraCobot successed.connectToOvraCobot end .\n" + want.lines());
  expectMotorData(*rig.handler, want);
}

INSTANTIATE_TEST_SUITE_P(Lengths, MotorDataLength, testing::Values(6, 4, 8, 0), lengthName);

// The control-cycle table: which robot states run the test logic and what they print.
struct CycleCase {
  std::vector<int8_t> state;
  std::string line;  // printed on every cycle
  bool runs_test;
};

std::string stateName(std::vector<int8_t> const& state) {
  std::string name = "state";
  for (int8_t v : state) name += "_" + std::to_string(v);
  return name;
}

void PrintTo(CycleCase const& c, std::ostream* os) { *os << stateName(c.state); }

class ControlCycle : public testing::TestWithParam<CycleCase> {};

TEST_P(ControlCycle, RobotStateDecidesTheCycle) {
  const CycleCase& c = GetParam();
  Rig rig;
  rig.sim.setRobotState(c.state);
  // A finished test with the stop command: the test logic, when it runs, sets the state back to 0.
  rig.handler->test_state = 2;
  G::vb_test_cmd = 0;
  rig.sim.clearCalls();

  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) rig.cycle();
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(out, repeated(c.line, 5));
  EXPECT_EQ(rig.sim.callCount("stop"), 0u) << "a runnable robot is never stopped";
  EXPECT_EQ(rig.sim.callCount("get_robot_state"), 5u);
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::vb_test_state, c.runs_test ? 0 : 2);
}

INSTANTIATE_TEST_SUITE_P(States, ControlCycle,
                         testing::Values(CycleCase{{6, 0, 5, 1}, "", true},
                                         CycleCase{{5, 0, 5, 1}, "", true},
                                         CycleCase{{4, 0, 5, 1}, "robot power off!\n", false},
                                         CycleCase{{2, 0, 5, 1}, "robot initialization!\n", false},
                                         CycleCase{{0, 0, 5, 1}, "robot initialization!\n", false},
                                         CycleCase{{7, 0, 5, 1}, "", false}),
                         [](testing::TestParamInfo<CycleCase> const& info) {
                           return stateName(info.param.state);
                         });

// Leaving the runnable state (any way, a short list included) stops the robot once and publishes
// test state 0; when it comes back with the command still 1, the test starts again from the reset.
struct LeaveCase {
  std::vector<int8_t> state;
};

void PrintTo(LeaveCase const& c, std::ostream* os) { *os << stateName(c.state); }

class LeavingRunnable : public testing::TestWithParam<LeaveCase> {};

TEST_P(LeavingRunnable, OneStopStateZeroThenTheTestStartsAgain) {
  Rig rig;
  G::vb_test_mode = 0;
  G::vb_test_cmd = 1;
  // Through the identification reset into the running test.
  ASSERT_GT(rig.runUntil([&] { return rig.handler->test_state == 1; }, 200), 0);
  for (int i = 0; i < 3; ++i) rig.cycle();

  rig.sim.setRobotState(GetParam().state);
  rig.sim.clearCalls();
  for (int i = 0; i < 20; ++i) rig.cycle();
  EXPECT_EQ(rig.sim.callCount("stop"), 1u);
  {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    EXPECT_EQ(G::vb_test_state, 0);
  }

  rig.sim.setRobotState({6, 0, 5, 1});
  rig.sim.clearCalls();
  for (int i = 0; i < 10; ++i) rig.cycle();
  EXPECT_EQ(rig.sim.callCount("stop"), 0u);
  // The reset clears joint 0's drive first again.
  const auto writes = rig.sim.callsOf("set_servo_config");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().args, "0, 43, 0, 0, false");
  EXPECT_EQ(rig.handler->test_state, 0);
  EXPECT_FALSE(rig.handler->trav_done[0]);
}

INSTANTIATE_TEST_SUITE_P(Ways, LeavingRunnable,
                         testing::Values(LeaveCase{{6, 0, 4, 1}}, LeaveCase{{6, 0, 5, 0}},
                                         LeaveCase{{6, 0, 5}}, LeaveCase{{}}),
                         [](testing::TestParamInfo<LeaveCase> const& info) {
                           return stateName(info.param.state);
                         });

TEST(ControlCycle, NotRunnableAtStartSendsOneStop) {
  sim::SimConfig config;
  config.robot_state = {6, 0, 5, 2};
  Rig rig(config);
  for (int i = 0; i < 10; ++i) rig.cycle();
  EXPECT_EQ(rig.sim.callCount("stop"), 1u);
}

TEST(ControlCycle, TablesArePublishedWithMeasuredOrdersTruncated) {
  Rig rig;
  struct {
    double order;
    unsigned published;
  } const cases[] = {{2.9, 2}, {0.0, 0}, {17.999, 17}, {8.0, 8}, {16.5, 16}, {1.0e-9, 0}};
  for (int j = 0; j < 6; ++j) {
    rig.handler->first_order[j] = cases[j].order;
    rig.handler->second_order[j] = cases[j].order + 1.0;
    rig.handler->third_order[j] = cases[j].order + 2.0;
    rig.handler->max_vib_target_vel[j] = 0.01 * j;
    rig.handler->first_servo_param[j] = 12551u + j;
    rig.handler->third_optimum_amp[j] = 0.5 + j;
  }
  rig.handler->test_state = 2;
  G::vb_test_cmd = 1;
  rig.cycle();
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::vb_test_state, 2);
  for (int j = 0; j < 6; ++j) {
    EXPECT_EQ(G::vb_first_order[j], cases[j].published) << cases[j].order;
    EXPECT_EQ(G::vb_second_order[j], cases[j].published + 1) << cases[j].order;
    EXPECT_EQ(G::vb_third_order[j], cases[j].published + 2) << cases[j].order;
    EXPECT_EQ(G::vb_max_vib_target_vel[j], 0.01 * j);
    EXPECT_EQ(G::vb_first_servo_param[j], 12551u + j);
    EXPECT_EQ(G::vb_third_optimum_amp[j], 0.5 + j);
    EXPECT_EQ(G::vb_first_feat_order[j], 999u);
  }
}

// A web command holding the table lock never holds the cycle: the cycle runs on and publishes
// once the lock is free again.
TEST(ControlCycle, BusyTableLockSkipsThePublishingOnly) {
  Rig rig;
  rig.handler->test_state = 2;  // finished, and the start command stays: nothing changes it
  G::vb_test_cmd = 1;
  std::mutex gate;
  std::condition_variable changed;
  int phase = 0;  // 1: the web thread holds the lock, 2: it may let go
  std::thread web([&] {
    std::lock_guard<std::mutex> table(G::table_mutex);
    G::vb_test_state = 7;
    std::unique_lock<std::mutex> lock(gate);
    phase = 1;
    changed.notify_all();
    changed.wait(lock, [&] { return phase == 2; });
  });
  {
    std::unique_lock<std::mutex> lock(gate);
    changed.wait(lock, [&] { return phase == 1; });
  }
  rig.sim.clearCalls();
  rig.cycle();
  rig.cycle();
  EXPECT_EQ(rig.sim.callCount("get_robot_state"), 2u);
  {
    std::lock_guard<std::mutex> lock(gate);
    phase = 2;
  }
  changed.notify_all();
  web.join();
  {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    EXPECT_EQ(G::vb_test_state, 7) << "nothing published while the lock was held";
  }
  rig.cycle();
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::vb_test_state, 2);
}

// The web side changes a gear ratio and the nominal orders: the cycle's copies follow.
TEST(ControlCycle, SharedMotorDataAreCopiedIn) {
  Rig rig;
  {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    G::robot_axis_ratio[3] = 121;
    G::vb_feat_freq_order[3][2] = 24;
  }
  rig.cycle();
  EXPECT_EQ(rig.handler->axis_ratio[3], 121);
  EXPECT_EQ(rig.handler->axis_ratio_count, 6u);
  EXPECT_EQ(rig.handler->feat_freq_order[3][2], 24u);
  {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    G::robot_axis_ratio.resize(2);
  }
  rig.cycle();
  EXPECT_EQ(rig.handler->axis_ratio_count, 2u);
  EXPECT_EQ(rig.handler->axis_ratio[3], 121) << "entries past the list keep their copies";
  std::lock_guard<std::mutex> lock(G::table_mutex);
  G::robot_axis_ratio.resize(6, 101);
}

// The controller goes away and comes back on the same port: the cycle reconnects at most once a
// second of cycles, with the connection messages, and runs on.
TEST(Reconnection, ControllerDroppedAndRestarted) {
  Rig rig;
  G::vb_test_mode = 0;
  G::vb_test_cmd = 1;
  for (int i = 0; i < 30; ++i) rig.cycle();  // the reset under way
  rig.sim.stop();

  testing::internal::CaptureStdout();
  for (int i = 0; i < 1000; ++i) rig.cycle();
  const std::string down = testing::internal::GetCapturedStdout();
  // Attempts every 250 cycles after the configuration's: at cycles 250, 500, 750 and 1000.
  EXPECT_EQ(down, repeated("connectToOvraCobot failed.connectToOvraCobot end .\n", 4));
  {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    EXPECT_EQ(G::vb_test_state, 0);
  }

  rig.restartController();
  rig.sim.clearCalls();
  testing::internal::CaptureStdout();
  const long cycles = rig.runUntil([&] { return rig.sim.callCount("get_robot_state") > 0; }, 600);
  const std::string up = testing::internal::GetCapturedStdout();
  ASSERT_GT(cycles, 0);
  EXPECT_LE(cycles, 251);
  // The motor data read at the configuration stand: a reconnection does not read them again.
  std::vector<short> pp, slots, ratios;
  for (const sim::JointConfig& joint : sim::SimConfig().joints) {
    pp.push_back(joint.pole_pairs);
    slots.push_back(joint.stator_slots);
    ratios.push_back(joint.gear_ratio);
  }
  EXPECT_EQ(up, "connectToOvraCobot successed.connectToOvraCobot end .\n");
  EXPECT_TRUE(rig.handler->connected);
  EXPECT_EQ(rig.sim.callCount("get_motor_pole_pair_number"), 0u);
  expectMotorData(*rig.handler, MotorData{pp, slots, ratios});

  // The cycle runs on: one stop for the lost state, then the test again from the reset.
  const long reset_done = rig.runUntil([&] { return rig.handler->test_state == 1; }, 400);
  EXPECT_GT(reset_done, 0);
  EXPECT_EQ(rig.sim.callCount("stop"), 0u) << "the stop went out while the controller was away";
}

TEST(Reconnection, NeverConnectedAtStartConnectsLater) {
  Rig rig(sim::SimConfig(), false);
  rig.sim.stop();
  testing::internal::CaptureStdout();
  rig.configureAndStart();
  rig.restartController();
  const long cycles = rig.runUntil([&] { return rig.handler->connected; }, 1000);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(cycles, 250) << "the first retry comes one second after the configuration's attempt";
  EXPECT_EQ(out.find("connectToOvraCobot failed.connectToOvraCobot end .\nmotor_pole_pair: "), 0u);
  EXPECT_NE(out.find("joint_ratio: 101 101 101 101 101 101 \n"
                     "connectToOvraCobot successed.connectToOvraCobot end .\n"),
            std::string::npos);
}

// A controller that comes only after the start, with other motors than the defaults: the
// connection from the control cycle reads its motor data as the configuration would have, once.
class ControllerComesLater : public testing::TestWithParam<int> {};

TEST_P(ControllerComesLater, ItsMotorDataReplaceTheDefaults) {
  sim::SimConfig config;
  const MotorData want = unusualMotors(config, GetParam());
  Rig rig(config, false);
  rig.sim.stop();
  testing::internal::CaptureStdout();
  rig.configureAndStart();
  const std::string at_start = testing::internal::GetCapturedStdout();
  EXPECT_EQ(at_start,
            "connectToOvraCobot failed.connectToOvraCobot end .\n" + kDefaultMotorData.lines());
  expectMotorData(*rig.handler, kDefaultMotorData);

  rig.restartController();
  testing::internal::CaptureStdout();
  const long cycles = rig.runUntil([&] { return rig.handler->connected; }, 1000);
  const std::string connected = testing::internal::GetCapturedStdout();
  ASSERT_GT(cycles, 0);
  EXPECT_EQ(connected, "connectToOvraCobot successed.connectToOvraCobot end .\n" + want.lines());
  expectMotorData(*rig.handler, want);

  testing::internal::CaptureStdout();
  rig.cycle(300);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "read once per connection";
  EXPECT_EQ(rig.sim.callCount("get_motor_pole_pair_number"), 1u);
  EXPECT_EQ(rig.sim.callCount("get_motor_stator_slots"), 1u);
  EXPECT_EQ(rig.sim.callCount("get_axis_ratio"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ControllerComesLater, testing::Values(6, 4, 8, 0), lengthName);

// The web side holds the table lock when the controller comes: the cycles run on without waiting,
// and the motor data are stored and printed in the first cycle after it lets go.
TEST(ControllerComesLater, BusyTableLockDefersTheMotorDataOnly) {
  sim::SimConfig config;
  const MotorData want = unusualMotors(config, 6);
  Rig rig(config, false);
  rig.sim.stop();
  testing::internal::CaptureStdout();
  rig.configureAndStart();
  testing::internal::GetCapturedStdout();

  std::mutex gate;
  std::condition_variable changed;
  int phase = 0;  // 1: the web thread holds the lock, 2: it may let go
  std::vector<short> seen_while_held;
  std::thread web([&] {
    std::lock_guard<std::mutex> table(G::table_mutex);
    std::unique_lock<std::mutex> lock(gate);
    phase = 1;
    changed.notify_all();
    changed.wait(lock, [&] { return phase == 2; });
    seen_while_held = G::robot_motor_pole_pair;
  });
  {
    std::unique_lock<std::mutex> lock(gate);
    changed.wait(lock, [&] { return phase == 1; });
  }
  rig.restartController();
  testing::internal::CaptureStdout();
  const long cycles = rig.runUntil([&] { return rig.handler->connected; }, 1000);
  rig.cycle(5);
  const std::string while_held = testing::internal::GetCapturedStdout();
  EXPECT_GT(cycles, 0);
  EXPECT_EQ(while_held, "connectToOvraCobot successed.connectToOvraCobot end .\n");
  EXPECT_EQ(rig.sim.callCount("get_motor_pole_pair_number"), 1u);
  {
    std::lock_guard<std::mutex> lock(gate);
    phase = 2;
  }
  changed.notify_all();
  web.join();
  EXPECT_EQ(seen_while_held, kDefaultMotorData.pole_pairs);

  testing::internal::CaptureStdout();
  rig.cycle();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), want.lines());
  expectMotorData(*rig.handler, want);
  EXPECT_EQ(rig.sim.callCount("get_motor_pole_pair_number"), 1u) << "not requested again";
}

}  // namespace
}  // namespace vb::test
