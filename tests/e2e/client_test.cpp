// The operator client's whole run: once the test has finished, the client stops it, so that the
// program waits idle (a later return of the robot to its runnable state starts nothing), with
// the results kept and still activatable. The controller is the simulator hosted in this
// process, so that its drive and file can be read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cases.h"
#include "harness.h"
#include "sim/SimController.h"

namespace vb {
namespace e2e {
namespace {

class ClientRunTest : public ::testing::TestWithParam<Depth> {
 protected:
  bool full() const { return GetParam() == Depth::kFull; }

  int web_port_ = freePort();
  int controller_port_ = freePort();
};

// The worst speed the client printed for the joint (NaN when it printed none).
double printedWorstSpeed(const std::string& output, int joint) {
  const std::string label = "joint " + std::to_string(joint) + ": worst speed ";
  const std::size_t at = output.find(label);
  return at == std::string::npos ? NAN : std::atof(output.c_str() + at + label.size());
}

std::set<long long> reportedWords(const rapidjson::Document& d, int joint) {
  std::set<long long> words;
  for (const char* key : {"first_servo_param", "second_servo_param", "third_servo_param"})
    words.insert(std::llround(entryOf(d, key, joint)));
  return words;
}

std::set<long long> fileWords(sim::SimController& sim, int joint) {
  std::set<long long> words;
  for (const auto& [key, value] : sim.fileParams())
    if (std::get<0>(key) == joint) words.insert(std::llround(value));
  return words;
}

TEST_P(ClientRunTest, FinishedRunLeavesTheProgramIdleWithItsResults) {
  // Full: the arm laid out for high-speed identifications, one whole identification checked
  // against the ground truth. Short: joint 0 without vibration, so that the traversal finds no
  // order, the scans have nothing to compensate and the verification's two moves end the test.
  sim::SimConfig config{sim::highSpeedJoints()};
  if (!full()) config.joints[0].components.clear();
  sim::SimController sim(config);
  sim.setMaxRecordedCalls(1000);
  ASSERT_EQ(sim.start(controller_port_), controller_port_);
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());

  std::vector<std::string> args = {"run", "--joint", "0", "--timeout",
                                   std::to_string(identificationTimeout().count())};
  if (full()) args.insert(args.end(), {"--truth", truthFile()});
  std::string out;
  ASSERT_EQ(runClient(web_port_, args, identificationTimeout() + Seconds(60), &out), 0) << out;
  if (full()) {
    EXPECT_NE(out.find("result matches the simulator's ground truth"), std::string::npos) << out;
  }

  // Idle as soon as the client has ended, and no further motion.
  rapidjson::Document d;
  ASSERT_TRUE(observer.update(&d));
  EXPECT_EQ(stateOf(d), 0) << "the finished test was left at state " << stateOf(d);
  const int moves = sim.callCount("movej2");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(sim.callCount("movej2"), moves);
  ASSERT_TRUE(observer.update(&d));
  EXPECT_EQ(stateOf(d), 0);

  // The results the client printed are still there.
  EXPECT_NEAR(entryOf(d, "max_vib_vel", 0), printedWorstSpeed(out, 0), 1e-8) << out;
  std::set<long long> expected_words;
  if (full()) {
    for (const sim::ComponentTruth& c : sim::groundTruth(config.joints[0]).components)
      expected_words.insert(c.servo_word);
  } else {
    expected_words = {0};  // no order found: every slot's word is 0
  }
  const std::set<long long> words = reportedWords(d, 0);
  EXPECT_EQ(words, expected_words);

  // And they can be activated: the words reach the controller's file (and, with orders found,
  // the drive).
  ASSERT_EQ(runClient(web_port_, {"activate", "0"}, Seconds(30), &out), 0) << out;
  EXPECT_TRUE(observer.waitUntil(
      [&](const rapidjson::Document&) { return fileWords(sim, 0) == words; }, Seconds(30)))
      << "joint 0's words did not reach the controller file";
  if (full()) {
    std::set<long long> drive;
    for (int id : {43, 45, 26})
      if (auto v = sim.activeServoParam(0, id)) drive.insert(*v);
    EXPECT_EQ(drive, words);
  }
  EXPECT_EQ(observer.testState(), 0);
  expectHealthy(*program);
}

INSTANTIATE_TEST_SUITE_P(Depths, ClientRunTest, ::testing::Values(Depth::kShort, Depth::kFull),
                         [](const ::testing::TestParamInfo<Depth>& info) {
                           return depthName(info.param);
                         });

}  // namespace
}  // namespace e2e
}  // namespace vb
