// The operator client's whole run: it waits for the test it started, its progress estimate
// plans the moves the program makes, and once the test has finished the client stops it, so that
// the program waits idle (a later return of the robot to its runnable state starts nothing), with
// the results kept and still activatable. The controller is the simulator hosted in this
// process, so that its drive, file and requests can be read and its replies slowed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Progress.h"
#include "cases.h"
#include "harness.h"
#include "sim/SimController.h"

namespace vb {
namespace e2e {
namespace {

class ClientRunTest : public ::testing::TestWithParam<Depth> {
 protected:
  bool full() const { return GetParam() == Depth::kFull; }

  // The simulator serving, the program connected to it and an operator watching.
  void startWith(const sim::SimConfig& config) {
    sim_ = std::make_unique<sim::SimController>(config);
    ASSERT_EQ(sim_->start(controller_port_), controller_port_);
    program_ = startProgram(web_port_, controller_port_);
    ASSERT_TRUE(program_->waitFor("connectToOvraCobot successed.", Seconds(30)));
    observer_ = std::make_unique<Observer>(web_port_);
    ASSERT_TRUE(observer_->connected());
  }

  // vb_client run of joint 0, graded against the ground truth for Full.
  std::vector<std::string> runArgs() const {
    std::vector<std::string> args = {"run", "--joint", "0", "--timeout",
                                     std::to_string(identificationTimeout().count())};
    if (full()) args.insert(args.end(), {"--truth", truthFile()});
    return args;
  }

  int web_port_ = freePort();
  int controller_port_ = freePort();
  std::unique_ptr<sim::SimController> sim_;  // outlives the program's connection
  std::unique_ptr<Process> program_;
  std::unique_ptr<Observer> observer_;
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

// The speed argument of each movej2 request ("[targets], v, a, r, block"), in order.
std::vector<double> moveSpeeds(const std::vector<sim::RecordedCall>& calls) {
  std::vector<double> speeds;
  for (const sim::RecordedCall& c : calls) {
    const std::size_t list_end = c.args.find("], ");
    speeds.push_back(list_end == std::string::npos ? NAN
                                                   : std::atof(c.args.c_str() + list_end + 3));
  }
  return speeds;
}

std::string listed(const std::vector<double>& speeds) {
  std::ostringstream out;
  out.precision(17);
  out << speeds.size() << " moves";
  for (std::size_t k = 0; k < speeds.size(); ++k) out << (k ? ", " : ": ") << speeds[k];
  return out.str();
}

// The client's plan of joint 0's high-speed identification, once it has read what the program
// printed during it (the traversal's worst speed and orders, the stage ends), against the movej2
// requests that the controller received in it: the same moves stage by stage, at the same speeds.
void expectPlannedMoves(const std::string& program_lines, const std::vector<double>& received) {
  tools::ProgressEstimate plan(0, true, true);
  plan.testState(1, 0.0);
  std::istringstream in(program_lines);
  for (std::string line; std::getline(in, line);) plan.programLine(line, 1.0);
  std::size_t next = 0;
  for (tools::Stage stage : {tools::Stage::kTraversal, tools::Stage::kPhaseScan,
                             tools::Stage::kCurrentScan, tools::Stage::kVerification}) {
    const std::vector<double> planned = plan.plannedSpeeds(0, stage);
    const std::size_t from = std::min(next, received.size());
    const std::vector<double> got(
        received.begin() + from,
        received.begin() + std::min(next + planned.size(), received.size()));
    const bool same = got.size() == planned.size() &&
                      std::equal(got.begin(), got.end(), planned.begin(),
                                 [](double a, double b) { return std::fabs(a - b) <= 1e-9; });
    EXPECT_TRUE(same) << tools::stageName(stage) << ": planned " << listed(planned) << "; received "
                      << listed(got);
    next += planned.size();
  }
  EXPECT_EQ(received.size(), next) << "moves received in all; the client planned " << next;
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_P(ClientRunTest, FinishedRunLeavesTheProgramIdleWithItsResults) {
  // The arm laid out for high-speed identifications: one whole identification of joint 0, whose
  // moves every stage makes; Full checks its result against the ground truth.
  sim::SimConfig config{sim::highSpeedJoints()};
  ASSERT_NO_FATAL_FAILURE(startWith(config));
  sim::SimController& sim = *sim_;
  Process& program = *program_;
  Observer& observer = *observer_;

  std::string out;
  ASSERT_EQ(runClient(web_port_, runArgs(), identificationTimeout() + Seconds(60), &out), 0) << out;
  if (full()) {
    EXPECT_NE(out.find("result matches the simulator's ground truth"), std::string::npos) << out;
  }
  expectPlannedMoves(program.output(), moveSpeeds(sim.callsOf("movej2")));

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
  for (const sim::ComponentTruth& c : sim::groundTruth(config.joints[0]).components)
    expected_words.insert(c.servo_word);
  const std::set<long long> words = reportedWords(d, 0);
  EXPECT_EQ(words, expected_words);

  // And they can be activated: the words reach the controller's file and the drive.
  ASSERT_EQ(runClient(web_port_, {"activate", "0"}, Seconds(30), &out), 0) << out;
  EXPECT_TRUE(observer.waitUntil(
      [&](const rapidjson::Document&) { return fileWords(sim, 0) == words; }, Seconds(30)))
      << "joint 0's words did not reach the controller file";
  std::set<long long> drive;
  for (int id : {43, 45, 26})
    if (auto v = sim.activeServoParam(0, id)) drive.insert(*v);
  EXPECT_EQ(drive, words);
  EXPECT_EQ(observer.testState(), 0);
  expectHealthy(program);
}

TEST_P(ClientRunTest, RunAfterAFinishedTestReportsOnlyItsOwnTest) {
  // Short: joint 0 without vibration, so that the traversal finds no order, the scans have
  // nothing to compensate and the verification's two moves end each test.
  sim::SimConfig config{sim::highSpeedJoints()};
  if (!full()) config.joints[0].components.clear();
  ASSERT_NO_FATAL_FAILURE(startWith(config));
  sim::SimController& sim = *sim_;
  Process& program = *program_;
  Observer& observer = *observer_;

  // A test started from the browser has finished: its command stays 1 and the state 2.
  std::string out;
  for (const char* request :
       {R"({"task":"setTestMode","req":{"mode":0}})",
        R"({"task":"setHighSpeedMode","req":{"high_speed":true}})", R"({"task":"startTest"})"})
    ASSERT_EQ(runClient(web_port_, {"send", request}, Seconds(30), &out), 0) << out;
  ASSERT_TRUE(observer.waitForState(2, identificationTimeout()));
  ASSERT_TRUE(program.waitFor("0 optimum result: ", Seconds(10)));

  // A slow controller: a cycle of the program takes 2 s, so the client's stop and start mostly
  // come between two cycles, and no cycle sees the command at 0.
  sim.clearCalls();
  const std::size_t before = program.output().size();
  sim.setReplyDelay(std::chrono::milliseconds(2000));
  auto run = startClient(web_port_, runArgs());
  // Once the program is idle the controller is quick again, for the client's own test.
  EXPECT_TRUE(observer.waitForState(0, Seconds(60)));
  sim.setReplyDelay(std::chrono::milliseconds(0));
  EXPECT_EQ(run->wait(identificationTimeout() + Seconds(60)), 0) << run->output();

  // The client reported after a whole test of its own: the verification's result came once
  // more, and every move of the test reached the controller.
  const std::string lines = program.output().substr(before);
  EXPECT_EQ(occurrences(lines, "0 optimum result: "), 1)
      << "the client reported a test that it did not run";
  expectPlannedMoves(lines, moveSpeeds(sim.callsOf("movej2")));
  if (full()) {
    EXPECT_NE(run->output().find("result matches the simulator's ground truth"), std::string::npos)
        << run->output();
  }
  expectHealthy(program);
}

INSTANTIATE_TEST_SUITE_P(Depths, ClientRunTest, ::testing::Values(Depth::kShort, Depth::kFull),
                         [](const ::testing::TestParamInfo<Depth>& info) {
                           return depthName(info.param);
                         });

}  // namespace
}  // namespace e2e
}  // namespace vb
