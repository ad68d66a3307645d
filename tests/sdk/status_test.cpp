// getRobotStatus and getRobotIOStatus: the records hold exactly the reply's lists, whatever they
// held before, and keep their single values when the call fails.
#include <gtest/gtest.h>

#include <memory>

#include "fake_controller.h"

namespace vb::test {
namespace {

using OvraRPC::OvraCobot;

std::vector<double> six(double base) {
  return {base, base + 0.1, base + 0.2, base + 0.3, base + 0.4, base + 0.5};
}

// Every list of the record, with its name, so that tests can walk them all.
template <typename Record>
std::vector<std::pair<const char*, std::vector<double>*>> doubleLists(Record& r) {
  return {{"jointExpectPosition", &r.jointExpectPosition},
          {"jointExpectVelocity", &r.jointExpectVelocity},
          {"jointExpectAccelera", &r.jointExpectAccelera},
          {"jointActualPosition", &r.jointActualPosition},
          {"jointActualVelocity", &r.jointActualVelocity},
          {"jointActualAccelera", &r.jointActualAccelera},
          {"jointActualCurrent", &r.jointActualCurrent},
          {"jointTemperature", &r.jointTemperature},
          {"driverTemperature", &r.driverTemperature},
          {"cartExpectPosition", &r.cartExpectPosition},
          {"cartExpectVelocity", &r.cartExpectVelocity},
          {"cartExpectAccelera", &r.cartExpectAccelera},
          {"cartActualPosition", &r.cartActualPosition},
          {"cartActualVelocity", &r.cartActualVelocity},
          {"cartActualAccelera", &r.cartActualAccelera}};
}

template <typename Record>
std::vector<std::pair<const char*, std::vector<bool>*>> boolLists(Record& r) {
  return {{"digitalInputs", &r.digitalInputs},
          {"digitalOutputs", &r.digitalOutputs},
          {"toolIOIn", &r.toolIOIn},
          {"toolIOOut", &r.toolIOOut},
          {"toolButton", &r.toolButton}};
}

// A record whose lists are longer than the reply's and whose single values differ from it.
OvraRPC::RobotStatusList staleRobotStatus() {
  OvraRPC::RobotStatusList s;
  for (auto& [name, list] : doubleLists(s)) *list = {9, 9, 9, 9, 9, 9, 9, 9};
  s.slaveReady.assign(20, false);
  s.collision = false;
  s.collisionAxis = -2;
  s.emcStopSignal = false;
  s.robotState = -3;
  s.robotError = 4321;
  return s;
}

OvraRPC::IOStatusList staleIOStatus() {
  OvraRPC::IOStatusList s;
  s.analogCurrentOutputs = {9, 9, 9};
  s.analogVoltageOutputs = {9};
  for (auto& [name, list] : boolLists(s)) list->assign(17, false);
  return s;
}

TEST(SdkStatusRecords, RobotStatusHoldsExactlyTheReply) {
  Script script;
  double base = 1.0;
  for (auto& [name, list] : doubleLists(script.robot_status)) {
    *list = six(base);
    base += 1.0;
  }
  script.robot_status.slaveReady = {true, false, true,  true, false, true,
                                    true, true,  false, true, true,  false};
  script.robot_status.collision = true;
  script.robot_status.collisionAxis = 3;
  script.robot_status.emcStopSignal = true;
  script.robot_status.robotState = 5;
  script.robot_status.robotError = 77;
  auto handler = std::make_shared<RecordingHandler>();
  handler->setScript(script);
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());
  ASSERT_EQ(cobot.open(), 0);

  OvraRPC::RobotStatusList status = staleRobotStatus();
  cobot.getRobotStatus(status);

  auto expected = doubleLists(script.robot_status);
  auto got = doubleLists(status);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(*got[i].second, *expected[i].second) << got[i].first;
  }
  EXPECT_EQ(status.slaveReady, script.robot_status.slaveReady);
  EXPECT_TRUE(status.collision);
  EXPECT_EQ(status.collisionAxis, 3);
  EXPECT_TRUE(status.emcStopSignal);
  EXPECT_EQ(status.robotState, 5);
  EXPECT_EQ(status.robotError, 77);
  EXPECT_EQ(handler->calls(), std::vector<std::string>{"getRobotStatus()"});
}

TEST(SdkStatusRecords, IOStatusHoldsExactlyTheReply) {
  Script script;
  script.io_status.analogCurrentOutputs = {0.25, 0.5};
  script.io_status.analogVoltageOutputs = {};
  script.io_status.digitalInputs = {true, false, true};
  script.io_status.digitalOutputs = {false};
  script.io_status.toolIOIn = {true, true};
  script.io_status.toolIOOut = {};
  script.io_status.toolButton = {false, true};
  auto handler = std::make_shared<RecordingHandler>();
  handler->setScript(script);
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());
  ASSERT_EQ(cobot.open(), 0);

  OvraRPC::IOStatusList status = staleIOStatus();
  cobot.getRobotIOStatus(status);

  EXPECT_EQ(status.analogCurrentOutputs, script.io_status.analogCurrentOutputs);
  EXPECT_EQ(status.analogVoltageOutputs, script.io_status.analogVoltageOutputs);
  auto expected = boolLists(script.io_status);
  auto got = boolLists(status);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(*got[i].second, *expected[i].second) << got[i].first;
  }
  EXPECT_EQ(handler->calls(), std::vector<std::string>{"getRobotIOStatus()"});
}

TEST(SdkStatusRecords, WhileUnconnectedListsAreEmptiedAndSingleValuesKept) {
  OvraCobot cobot("127.0.0.1", 1);

  OvraRPC::RobotStatusList status = staleRobotStatus();
  cobot.getRobotStatus(status);
  for (auto& [name, list] : doubleLists(status)) EXPECT_TRUE(list->empty()) << name;
  EXPECT_TRUE(status.slaveReady.empty());
  EXPECT_FALSE(status.collision);
  EXPECT_EQ(status.collisionAxis, -2);
  EXPECT_FALSE(status.emcStopSignal);
  EXPECT_EQ(status.robotState, -3);
  EXPECT_EQ(status.robotError, 4321);

  OvraRPC::IOStatusList io = staleIOStatus();
  cobot.getRobotIOStatus(io);
  EXPECT_TRUE(io.analogCurrentOutputs.empty());
  EXPECT_TRUE(io.analogVoltageOutputs.empty());
  for (auto& [name, list] : boolLists(io)) EXPECT_TRUE(list->empty()) << name;
}

}  // namespace
}  // namespace vb::test
