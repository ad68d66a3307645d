// The simulator over its real Thrift server and the generated client, on loopback TCP.
#include <RPCRobot.h>
#include <gtest/gtest.h>
#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>
#include <thrift/transport/TTransportException.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "free_port.h"
#include "sim/SimController.h"

namespace vb::sim {
namespace {

using apache::thrift::TApplicationException;
using apache::thrift::transport::TTransportException;

constexpr double kDeg = kPi / 180.0;

struct Client {
  explicit Client(int port)
      : socket(std::make_shared<apache::thrift::transport::TSocket>("127.0.0.1", port)),
        transport(std::make_shared<apache::thrift::transport::TBufferedTransport>(socket)),
        rpc(std::make_shared<apache::thrift::protocol::TBinaryProtocol>(transport)) {
    socket->setRecvTimeout(10000);  // a lost reply fails the test instead of hanging it
    transport->open();
  }
  std::shared_ptr<apache::thrift::transport::TSocket> socket;
  std::shared_ptr<apache::thrift::transport::TBufferedTransport> transport;
  RPCRobotClient rpc;
};

bool canConnect(int port) {
  try {
    Client c(port);
    std::vector<int8_t> state;
    c.rpc.get_robot_state(state);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Waits, with a deadline, until a connection and one call succeed again.
bool reconnectsWithin(int port, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (canConnect(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override { port = vb::test::startOnRestartPort(sim); }
  SimController sim;
  int port = 0;
};

TEST_F(Server, ClockAdvancesOnePeriodPerRobotStateRequest) {
  Client c(port);
  std::vector<int8_t> state;
  for (int i = 0; i < 250; ++i) c.rpc.get_robot_state(state);
  EXPECT_EQ(state, (std::vector<int8_t>{6, 0, 5, 1}));
  EXPECT_DOUBLE_EQ(sim.simTime(), 250 * kControlPeriod);
  std::vector<double> speeds;
  c.rpc.get_actual_joints_speed(speeds);
  c.rpc.get_actual_joints_position(speeds);
  EXPECT_DOUBLE_EQ(sim.simTime(), 250 * kControlPeriod);  // other calls leave the clock alone
}

TEST_F(Server, ServesAMoveAndRecordsItsCallsWithArgumentsAndTime) {
  Client c(port);
  std::vector<double> start;
  c.rpc.get_actual_joints_position(start);
  ASSERT_EQ(start.size(), 6u);
  std::vector<double> target = start;
  target[2] += 1.0 * kDeg;
  const int32_t id = c.rpc.movej2(target, kDeg, 20.0 * kDeg, 0.0, false, Op());
  std::vector<int8_t> state;
  std::vector<double> actual, wanted;
  int polls = 0;
  for (; c.rpc.get_noneblock_taskstate(id) == TaskState::ST_Running && polls < 10000; ++polls) {
    c.rpc.get_robot_state(state);
    c.rpc.get_actual_joints_speed(actual);
    c.rpc.get_target_joints_speed(wanted);
  }
  EXPECT_EQ(c.rpc.get_noneblock_taskstate(id), TaskState::ST_Finished);
  EXPECT_EQ(polls, 263);  // 1 s + 0.05 s of ramps, and the query before the first tick
  EXPECT_NEAR(sim.jointPositions()[2], target[2], 1e-12);
  EXPECT_EQ(sim.callCount("get_robot_state"), 263u);

  const auto moves = sim.callsOf("movej2");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].sim_time, 0.0);
  char tail[96];
  std::snprintf(tail, sizeof tail, "], %.17g, %.17g, 0, false", kDeg, 20.0 * kDeg);
  EXPECT_NE(moves[0].args.find(tail), std::string::npos) << moves[0].args;
  EXPECT_EQ(moves[0].args.front(), '[');
  const auto ticks = sim.callsOf("get_robot_state");
  EXPECT_DOUBLE_EQ(ticks.back().sim_time, 263 * kControlPeriod);
}

TEST_F(Server, ServoWritesReachTheDriveAndTheFile) {
  Client c(port);
  const int32_t set = c.rpc.set_servo_config(3, 43, 12551, 0, false);
  EXPECT_EQ(c.rpc.get_noneblock_taskstate(set), TaskState::ST_Finished);
  EXPECT_EQ(sim.activeServoParam(3, 43), std::nullopt);
  const int32_t apply = c.rpc.apply_servo_config(3, false);
  EXPECT_EQ(c.rpc.get_noneblock_taskstate(apply), TaskState::ST_Finished);
  EXPECT_EQ(sim.activeServoParam(3, 43), 12551);
  ASSERT_EQ(sim.servoApplies().size(), 1u);
  EXPECT_EQ(sim.servoApplies()[0].joint, 3);
  EXPECT_EQ(sim.callsOf("set_servo_config")[0].args, "3, 43, 12551, 0, false");

  EXPECT_EQ(c.rpc.set_servo_file_params(3, 45, "VB_PARAM_2", 62353.0, 0.0), 0);
  const auto file = sim.fileParams();
  ASSERT_EQ(file.count(FileParamKey{3, 45, "VB_PARAM_2"}), 1u);
  EXPECT_EQ(file.at(FileParamKey{3, 45, "VB_PARAM_2"}), 62353.0);
}

TEST_F(Server, MotorDataListsHaveTheConfiguredLength) {
  Client c(port);
  std::vector<int16_t> pairs, slots, ratios;
  c.rpc.get_motor_pole_pair_number(pairs);
  c.rpc.get_motor_stator_slots(slots);
  c.rpc.get_axis_ratio(ratios);
  ASSERT_EQ(ratios.size(), 6u);
  EXPECT_EQ(ratios[0], sim.config().joints[0].gear_ratio);
  EXPECT_EQ(slots[5], sim.config().joints[5].stator_slots);
  sim.setMotorDataLength(2);
  c.rpc.get_motor_pole_pair_number(pairs);
  EXPECT_EQ(pairs.size(), 2u);
}

TEST_F(Server, OtherMethodsAnswerPlainDefaults) {
  Client c(port);
  EXPECT_EQ(c.rpc.power_on(false), 0);
  std::vector<double> pose = {1.0};
  c.rpc.get_tcp_pose(pose);
  EXPECT_TRUE(pose.empty());
  RobotStatus status;
  c.rpc.getRobotStatus(status);
  EXPECT_EQ(status, RobotStatus());
  EXPECT_EQ(sim.callCount("power_on"), 1u);
  ASSERT_EQ(sim.callsOf("get_tcp_pose").size(), 1u);
}

TEST_F(Server, ConnectionsOneAfterAnotherAndSideBySide) {
  for (int i = 0; i < 3; ++i) {
    Client c(port);
    std::vector<int8_t> state;
    c.rpc.get_robot_state(state);
    EXPECT_EQ(state.size(), 4u);
  }
  Client a(port), b(port);
  std::vector<int8_t> state;
  a.rpc.get_robot_state(state);
  b.rpc.get_robot_state(state);
  std::thread other([&] {
    std::vector<int8_t> s;
    for (int i = 0; i < 100; ++i) b.rpc.get_robot_state(s);
  });
  for (int i = 0; i < 100; ++i) a.rpc.get_robot_state(state);
  other.join();
  EXPECT_DOUBLE_EQ(sim.simTime(), 205 * kControlPeriod);
}

TEST_F(Server, RobotStateFaultsIncludingShortLists) {
  sim.setRobotStateAt(0.008, {4, 0, 5});
  sim.setRobotStateAt(0.012, {});
  Client c(port);
  std::vector<int8_t> state;
  c.rpc.get_robot_state(state);
  EXPECT_EQ(state, (std::vector<int8_t>{6, 0, 5, 1}));
  c.rpc.get_robot_state(state);
  EXPECT_EQ(state, (std::vector<int8_t>{4, 0, 5}));
  c.rpc.get_robot_state(state);
  EXPECT_TRUE(state.empty());
  sim.setRobotState({6, 1, 5, 1});
  c.rpc.get_robot_state(state);
  EXPECT_EQ(state, (std::vector<int8_t>{6, 1, 5, 1}));
}

TEST_F(Server, NamedMethodsAnswerExceptions) {
  sim.throwOnMethod("get_actual_joints_speed", 2);
  sim.throwOnMethod("get_robot_state", 1);
  sim.throwOnMethod("power_off");
  Client c(port);
  std::vector<double> speeds;
  EXPECT_THROW(c.rpc.get_actual_joints_speed(speeds), TApplicationException);
  EXPECT_THROW(c.rpc.get_actual_joints_speed(speeds), TApplicationException);
  c.rpc.get_actual_joints_speed(speeds);  // the connection survives; the fault is spent
  EXPECT_EQ(speeds.size(), 6u);
  std::vector<int8_t> state;
  EXPECT_THROW(c.rpc.get_robot_state(state), TApplicationException);
  EXPECT_DOUBLE_EQ(sim.simTime(), kControlPeriod);  // the request still was a control cycle
  for (int i = 0; i < 3; ++i) EXPECT_THROW(c.rpc.power_off(false), TApplicationException);
  sim.throwOnMethod("power_off", 0);
  EXPECT_EQ(c.rpc.power_off(false), 0);
  const auto calls = sim.callsOf("get_actual_joints_speed");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[0].threw);
  EXPECT_FALSE(calls[2].threw);
}

TEST_F(Server, RepliesAreDelayed) {
  sim.setReplyDelay(std::chrono::milliseconds(150));
  Client c(port);
  const auto before = std::chrono::steady_clock::now();
  std::vector<int8_t> state;
  c.rpc.get_robot_state(state);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(150));
  EXPECT_EQ(state.size(), 4u);
  sim.setReplyDelay(std::chrono::milliseconds(0));
}

TEST_F(Server, DropsEveryConnectionAndRefusesNewOnesForAWhile) {
  Client c(port);
  std::vector<int8_t> state;
  c.rpc.get_robot_state(state);
  sim.dropConnectionsFor(2.0);
  EXPECT_THROW(c.rpc.get_robot_state(state), TTransportException);
  EXPECT_FALSE(canConnect(port));
  ASSERT_TRUE(reconnectsWithin(port, std::chrono::seconds(20)));
  EXPECT_EQ(sim.port(), port);
  // The model went on where it was: one tick before the drop, one by canConnect.
  EXPECT_DOUBLE_EQ(sim.simTime(), 2 * kControlPeriod);
}

TEST_F(Server, DropsConnectionsAtASimulatedTime) {
  sim.dropConnectionsAt(0.04, 0.2);
  Client c(port);
  std::vector<int8_t> state;
  for (int i = 0; i < 9; ++i) c.rpc.get_robot_state(state);
  EXPECT_THROW(c.rpc.get_robot_state(state), TTransportException);  // the 10th reaches 0.04
  EXPECT_DOUBLE_EQ(sim.simTime(), 9 * kControlPeriod);              // and goes unanswered
  ASSERT_TRUE(reconnectsWithin(port, std::chrono::seconds(20)));
  EXPECT_DOUBLE_EQ(sim.simTime(), 10 * kControlPeriod);
}

TEST(ServerLifecycle, PortsStartsAndStops) {
  SimController a;
  const int port = vb::test::startOnRestartPort(a);
  EXPECT_GT(port, 0);
  EXPECT_TRUE(a.running());
  EXPECT_THROW(a.start(0), std::runtime_error);
  SimController b;
  EXPECT_THROW(b.start(port), std::runtime_error);  // taken
  EXPECT_THROW(b.start(70000), std::runtime_error);
  a.stop();
  EXPECT_FALSE(a.running());
  EXPECT_FALSE(canConnect(port));
  EXPECT_EQ(b.start(port), port);  // free again
  EXPECT_TRUE(canConnect(port));
  b.stop();
  b.stop();  // twice is harmless
}

TEST(ServerLifecycle, StopEndsADelayedReplyAndAnOpenConnection) {
  SimController sim;
  const int port = sim.start(0);
  auto c = std::make_unique<Client>(port);
  sim.setReplyDelay(std::chrono::milliseconds(60000));
  std::thread caller([&] {
    std::vector<int8_t> state;
    EXPECT_ANY_THROW(c->rpc.get_robot_state(state));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sim.stop();  // must not wait out the minute
  caller.join();
}

}  // namespace
}  // namespace vb::sim
