// Faults around a running identification, with the program, the simulated controller and the
// operator client as processes. Each case comes in two depths: Full runs the identification
// after the fault to its end and checks the result against the simulator's ground truth; Short
// (for the sanitizer builds) follows it until the joint's velocity traversal has found the
// right orders, then stops it from the client.
//
// Where a case must see what the program wrote to the drive, or must know which stage is
// running, the controller is the simulator hosted in this process (the same code robot_sim
// runs), so its records can be read.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "cases.h"
#include "harness.h"
#include "sim/SimController.h"

namespace vb {
namespace e2e {
namespace {

class E2eTest : public ::testing::TestWithParam<Depth> {
 protected:
  int web_port_ = freePort();
  int controller_port_ = freePort();
  Operator op_{web_port_, GetParam()};
};

std::string paramName(const ::testing::TestParamInfo<Depth>& info) { return depthName(info.param); }

// The three servo words that joint j's result reports, and whether the drive and the
// controller file of the simulator hold exactly those.
struct Written {
  std::set<long long> words;
  std::set<long long> drive;
  std::set<long long> file;
};

Written written(Observer& observer, sim::SimController& sim, int joint) {
  Written w;
  for (const char* key : {"first_servo_param", "second_servo_param", "third_servo_param"})
    w.words.insert(std::llround(observer.entry(key, joint)));
  for (int id : {43, 45, 26})
    if (auto v = sim.activeServoParam(joint, id)) w.drive.insert(*v);
  for (const auto& [key, value] : sim.fileParams())
    if (std::get<0>(key) == joint) w.file.insert(std::llround(value));
  return w;
}

bool activated(Observer& observer, sim::SimController& sim, int joint) {
  const Written w = written(observer, sim, joint);
  return w.words.size() == 3 && !w.words.count(0) && w.drive == w.words && w.file == w.words;
}

// --- The controller absent at start ------------------------------------------------------

TEST_P(E2eTest, ControllerAbsentAtStartConnectsWhenItComes) {
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot failed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());
  EXPECT_EQ(observer.testState(), 0) << "the web side serves without a controller";

  // The operator starts the test before the controller is there: nothing can run yet.
  auto run = op_.startRun(1);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(observer.testState(), 0);

  auto sim = startSim(controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(60)));
  // The waiting test runs, with the motor data of the controller that came.
  op_.finish(std::move(run), 1, observer);
  expectHealthy(*program);
}

// --- The controller killed during the traversal and restarted ---------------------------

TEST_P(E2eTest, ControllerKilledDuringTraversalReconnects) {
  auto robot_sim = startSim(controller_port_);
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());

  // All joints in turn: joint 0 is verified, then joint 1's traversal starts.
  auto run = op_.startRun(std::vector<std::string>{"--mode", "99"});
  ASSERT_TRUE(observer.waitUntil(
      [](const rapidjson::Document& d) {
        return stateOf(d) == 1 && entryOf(d, "first_optimum_amp", 0) > 0 &&
               entryOf(d, "first_servo_param", 0) > 0;
      },
      identificationTimeout()))
      << "joint 0 was not verified";
  EXPECT_EQ(observer.entry("max_vib_first_freq", 1), 0.0) << "joint 1's traversal is running";
  std::this_thread::sleep_for(std::chrono::seconds(1));
  robot_sim->kill();

  // No robot state without a controller: the program counts the robot as not runnable.
  EXPECT_TRUE(observer.waitForState(0, Seconds(10)));
  // The operator stops the test (an interrupted client sends stopTest).
  run->signal(SIGINT);
  EXPECT_EQ(run->wait(Seconds(30)), 130) << run->output();

  // The controller comes back on the same port, hosted here so that the drive can be seen.
  // The arm laid out for the client's high-speed identifications, as robot_sim runs it here.
  sim::SimController sim(sim::SimConfig{sim::highSpeedJoints()});
  sim.setMaxRecordedCalls(1000);
  ASSERT_EQ(sim.start(controller_port_), controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(60), 2));

  // Joint 0 was verified before the fault: its result can still be activated.
  std::string out;
  ASSERT_EQ(runClient(web_port_, {"activate", "0"}, Seconds(30), &out), 0) << out;
  EXPECT_TRUE(observer.waitUntil(
      [&](const rapidjson::Document&) { return activated(observer, sim, 0); }, Seconds(30)))
      << "joint 0's words did not reach the drive and the controller file";

  op_.identify(2, observer);
  expectHealthy(*program);
}

// --- The robot leaving the runnable state mid-test and returning ------------------------

TEST_P(E2eTest, RobotLeavesRunnableStateAndReturns) {
  // Sim time follows the program's cycles from its connection: at 30 s joint 0's phase scan
  // runs; safety state 4 (not running) for 4 s, then back to 5.
  auto robot_sim = startSim(controller_port_,
                            {"--robot-state-at", "30:6,0,4,1", "--robot-state-at", "34:6,0,5,1"});
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());

  auto run = op_.startRun(0);
  ASSERT_TRUE(
      observer.waitUntil([](const rapidjson::Document& d) { return traversalFoundOrders(d, 0); },
                         identificationTimeout()));
  // Stopped and idle while the robot is not runnable...
  ASSERT_TRUE(observer.waitForState(0, Seconds(60)));
  // ...then the command still stands, so a new test starts with the reset, which clears the
  // traversal's results, and runs to the end.
  ASSERT_TRUE(observer.waitUntil(
      [](const rapidjson::Document& d) {
        return stateOf(d) == 1 && entryOf(d, "max_vib_first_freq", 0) == 0.0;
      },
      Seconds(60)));
  op_.finish(std::move(run), 0, observer);
  expectHealthy(*program);
}

// --- A servo task error during an activation --------------------------------------------

TEST_P(E2eTest, ServoTaskErrorDuringActivationSetsTheRequestBack) {
  // The arm laid out for the client's high-speed identifications, as robot_sim runs it here.
  sim::SimController sim(sim::SimConfig{sim::highSpeedJoints()});
  sim.setMaxRecordedCalls(1000);
  ASSERT_EQ(sim.start(controller_port_), controller_port_);
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());

  // Activation needs a verified joint: one whole identification, whatever the depth.
  std::string out;
  ASSERT_EQ(runClient(web_port_,
                      {"run", "--joint", "0", "--truth", truthFile(), "--timeout",
                       std::to_string(identificationTimeout().count())},
                      identificationTimeout() + Seconds(30), &out),
            0)
      << out;

  // The next servo task of joint 0 ends in an error.
  const int servo_tasks = sim.taskCount(0, sim::TaskKind::Servo);
  sim.failTask(0, sim::TaskKind::Servo, servo_tasks + 1);
  ASSERT_EQ(runClient(web_port_, {"activate", "0"}, Seconds(30), &out), 0) << out;
  ASSERT_TRUE(observer.waitUntil(
      [&](const rapidjson::Document&) {
        return sim.taskCount(0, sim::TaskKind::Servo) > servo_tasks;
      },
      Seconds(30)));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_FALSE(activated(observer, sim, 0));
  EXPECT_TRUE(written(observer, sim, 0).file.empty()) << "nothing reaches the controller file";
  // Refused again at once while the servo machine stays failed: no servo task at all.
  const int after_failure = sim.taskCount(0, sim::TaskKind::Servo);
  ASSERT_EQ(runClient(web_port_, {"activate", "0"}, Seconds(30), &out), 0) << out;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(sim.taskCount(0, sim::TaskKind::Servo), after_failure);
  EXPECT_TRUE(written(observer, sim, 0).file.empty());

  if (GetParam() == Depth::kFull) {
    // The next test resets the machine; the refused request was set back, so nothing is
    // activated until the operator asks again, and then it succeeds.
    op_.identify(0, observer);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(written(observer, sim, 0).file.empty()) << "a refused request came back";
    ASSERT_EQ(runClient(web_port_, {"activate", "0"}, Seconds(30), &out), 0) << out;
    EXPECT_TRUE(observer.waitUntil(
        [&](const rapidjson::Document&) { return activated(observer, sim, 0); }, Seconds(30)));
  }
  expectHealthy(*program);
}

INSTANTIATE_TEST_SUITE_P(Depths, E2eTest, ::testing::Values(Depth::kShort, Depth::kFull),
                         paramName);

}  // namespace
}  // namespace e2e
}  // namespace vb
