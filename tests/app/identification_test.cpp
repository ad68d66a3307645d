// Whole identifications through the real dispatcher, reset, stages and servo writes, stepped
// cycle by cycle against the simulator over loopback TCP and compared with its ground truth.
// High-speed mode (one traversal speed) keeps the runs short wherever the behaviour allows.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "WebServer.h"
#include "stage_harness.h"

namespace {

using vb::gridCount;
using vb::kSpeedMax;
using vb::kTravel;
using vb::sim::TaskKind;
using vb::test::Harness;
using vb::test::StageComponent;
using vb::test::topSpeedConfig;
namespace G = vb::GlobalValue;

// A single joint in high-speed mode takes some 55000 cycles.
constexpr long kOneJointCycles = 120000;

void startTest(int mode, bool high_speed) {
  G::vb_test_mode = mode;
  G::vb_high_speed_mode = high_speed;
  G::vb_test_cmd = 1;
}

int publishedTestState() {
  std::lock_guard<std::mutex> lock(G::table_mutex);
  return G::vb_test_state;
}

// Runs until the published test state is `state`; the published states on the way, each once
// per change.
std::vector<int> runToState(Harness& h, int state, long max_cycles) {
  std::vector<int> seen{publishedTestState()};
  long const cycles = h.runUntil(
      [&] {
        int const now = publishedTestState();
        if (now != seen.back()) seen.push_back(now);
        return now == state;
      },
      max_cycles);
  EXPECT_GT(cycles, 0) << "test state " << state << " not reached";
  return seen;
}

// Joint j's worst speed as the web command "update" reports it to the operator.
double reportedWorstSpeed(unsigned j) {
  std::string const reply =
      vb::WebServer::handle_command(R"({"task":"update","id":1})").value_or("");
  rapidjson::Document doc;
  doc.Parse(reply.c_str());
  if (doc.HasParseError() || !doc.IsObject()) {
    ADD_FAILURE() << "update: " << reply;
    return -1.0;
  }
  auto const it = doc.FindMember("max_vib_vel");
  if (it == doc.MemberEnd() || !it->value.IsArray() || it->value.Size() <= j ||
      !it->value[j].IsNumber()) {
    ADD_FAILURE() << "no max_vib_vel for joint " << j << " in " << reply;
    return -1.0;
  }
  return it->value[j].GetDouble();
}

size_t count(std::string const& text, std::string const& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Joint j's result equals the simulator's truth: per order the optimum phase and current, the
// servo words of those optima, published as well; each compensated component down to a tenth.
void expectIdentified(Harness& h, unsigned j) {
  SCOPED_TRACE("joint " + std::to_string(j));
  StageComponent const& c = *h.component;
  vb::sim::JointTruth const truth = h.truth(static_cast<int>(j));
  ASSERT_EQ(truth.components.size(), 3u);
  unsigned const feat[3] = {c.first_feat_order[j], c.second_feat_order[j], c.third_feat_order[j]};
  double const phase[3] = {c.first_optimum_phase[j], c.second_optimum_phase[j],
                           c.third_optimum_phase[j]};
  double const current[3] = {c.first_optimum_current[j], c.second_optimum_current[j],
                             c.third_optimum_current[j]};
  double const before[3] = {c.first_freq_vib_amp[j], c.second_freq_vib_amp[j],
                            c.third_freq_vib_amp[j]};
  double const after[3] = {c.first_optimum_amp[j], c.second_optimum_amp[j], c.third_optimum_amp[j]};
  unsigned const words[3] = {c.first_servo_param[j], c.second_servo_param[j],
                             c.third_servo_param[j]};
  unsigned published[3];
  {
    std::lock_guard<std::mutex> lock(G::table_mutex);
    published[0] = G::vb_first_servo_param[j];
    published[1] = G::vb_second_servo_param[j];
    published[2] = G::vb_third_servo_param[j];
  }
  EXPECT_TRUE(c.verified[j]);
  for (int x = 0; x < 3; ++x) {
    SCOPED_TRACE("slot " + std::to_string(x));
    vb::sim::ComponentTruth const& t = truth.components[static_cast<size_t>(x)];
    EXPECT_EQ(feat[x], static_cast<unsigned>(t.order));
    EXPECT_NEAR(phase[x], t.optimum_phase, 1e-9);
    EXPECT_NEAR(current[x], t.optimum_current, 1e-9);
    EXPECT_EQ(words[x], t.servo_word);
    EXPECT_EQ(words[x], vb::servoWord(feat[x], phase[x], current[x]));
    EXPECT_EQ(published[x], words[x]);
    EXPECT_GT(before[x], 0.01);
    EXPECT_LE(after[x], 0.1 * before[x]);
  }
}

// The lines the traversal and the verification print for joint j, as they print them.
std::string traversalLines(StageComponent const& c, unsigned j) {
  std::ostringstream out;
  out << j << " max vib velo: " << c.max_vib_target_vel[j] << "\n"
      << j << " first freq: " << c.first_freq[j] << " " << c.first_order[j] << " "
      << c.first_feat_order[j] << " " << c.first_freq_vib_amp[j] << "\n"
      << j << " second freq: " << c.second_freq[j] << " " << c.second_order[j] << " "
      << c.second_feat_order[j] << " " << c.second_freq_vib_amp[j] << "\n"
      << j << " third freq: " << c.third_freq[j] << " " << c.third_order[j] << " "
      << c.third_feat_order[j] << " " << c.third_freq_vib_amp[j] << "\n";
  return out.str();
}

std::string verificationLines(StageComponent const& c, unsigned j) {
  std::ostringstream out;
  out << j << " optimum result: \n";
  double const* freq[3] = {c.first_freq, c.second_freq, c.third_freq};
  unsigned const* feat[3] = {c.first_feat_order, c.second_feat_order, c.third_feat_order};
  double const* amp[3] = {c.first_freq_vib_amp, c.second_freq_vib_amp, c.third_freq_vib_amp};
  double const* opt_amp[3] = {c.first_optimum_amp, c.second_optimum_amp, c.third_optimum_amp};
  double const* phase[3] = {c.first_optimum_phase, c.second_optimum_phase, c.third_optimum_phase};
  double const* current[3] = {c.first_optimum_current, c.second_optimum_current,
                              c.third_optimum_current};
  unsigned const* word[3] = {c.first_servo_param, c.second_servo_param, c.third_servo_param};
  for (int x = 0; x < 3; ++x) {
    out << freq[x][j] << " " << feat[x][j] << " " << amp[x][j] << " " << opt_amp[x][j] << "  "
        << phase[x][j] << " " << current[x][j] << " " << word[x][j] << "\n";
  }
  return out.str();
}

TEST(Identification, OneJointHighSpeedStartToFinish) {
  EXPECT_EQ(vb::servoWord(8, 1.2, 0.6), 12551u);
  EXPECT_EQ(vb::servoWord(18, 6.0, 2.1), 62353u);
  EXPECT_EQ(vb::servoWord(16, 0.0, 0.0), 15u);
  EXPECT_EQ(vb::servoWord(8, 0.0, 2.4), 1031u);

  Harness h(topSpeedConfig());
  unsigned const j = 2;
  double const start = h.sim.jointPositions()[j];
  startTest(static_cast<int>(j), true);
  testing::internal::CaptureStdout();
  std::vector<int> const states = runToState(h, 2, kOneJointCycles);
  std::string const out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(states, (std::vector<int>{0, 1, 2}));
  expectIdentified(h, j);
  // One traversal speed, the top one, where this arm vibrates most; the phase scan ends one
  // travel out.
  EXPECT_EQ(h.component->max_vib_target_vel[j], kSpeedMax);
  EXPECT_NEAR(h.truth(static_cast<int>(j)).worst_speed_rad_s, kSpeedMax, 1e-12);
  EXPECT_NEAR(h.sim.jointPositions()[j], start + kTravel, 1e-9);

  // Each block of result lines once, byte for byte, each after its rms line.
  std::string const traversal = "origin_vel_err_rmse: ";
  std::string const verification = "final_vel_err_rmse: ";
  EXPECT_EQ(count(out, traversal), 1u);
  EXPECT_EQ(count(out, verification), 1u);
  EXPECT_EQ(count(out, "max vib velo"), 1u);
  EXPECT_EQ(count(out, "optimum result"), 1u);
  std::string const lines_t = traversalLines(*h.component, j);
  std::string const lines_v = verificationLines(*h.component, j);
  size_t const at_t = out.find(lines_t);
  size_t const at_v = out.find(lines_v);
  ASSERT_NE(at_t, std::string::npos) << out;
  ASSERT_NE(at_v, std::string::npos) << out;
  EXPECT_EQ(out.rfind('\n', at_t - 2), out.rfind(traversal) - 1);
  EXPECT_EQ(out.rfind('\n', at_v - 2), out.rfind(verification) - 1);
  EXPECT_LT(at_t, at_v);
  EXPECT_EQ(out.size(), at_v + lines_v.size());

  // A finished test stays finished while the command stays.
  h.forgetCalls();
  for (int i = 0; i < 50; ++i) h.cycle();
  EXPECT_EQ(publishedTestState(), 2);
  EXPECT_EQ(h.count("movej2"), 0u);
}

// Normal mode: the sixteen speeds of the grid, the designed worst speed, then the scans there.
TEST(Identification, OneJointNormalModeSixteenSpeeds) {
  Harness h;
  unsigned const j = 3;  // the joint of the highest designed worst speed: the shortest scans
  startTest(static_cast<int>(j), false);
  runToState(h, 2, 400000);
  std::vector<double> const speeds = h.moveSpeeds();
  // 16 pairs in the traversal, then 31 + 8 + 2 moves at the worst speed.
  size_t const traversal = 2u * gridCount(vb::kSpeedStart, kSpeedMax, vb::kSpeedStep);
  size_t const scans = gridCount(vb::kPhaseStart, vb::kPhaseMax, vb::kPhaseStep) +
                       gridCount(vb::kCurrentStart, vb::kCurrentMax, vb::kCurrentStep) + 2;
  ASSERT_EQ(speeds.size(), traversal + scans);
  std::vector<double> grid;
  for (double v = vb::kSpeedStart; v <= kSpeedMax; v += vb::kSpeedStep) {
    grid.push_back(v);
    grid.push_back(v);
  }
  EXPECT_EQ(std::vector<double>(speeds.begin(), speeds.begin() + traversal), grid);
  double const worst = h.truth(static_cast<int>(j)).worst_speed_rad_s;
  EXPECT_NEAR(h.component->max_vib_target_vel[j], worst, 1e-12);
  for (size_t i = traversal; i < speeds.size(); ++i)
    EXPECT_EQ(speeds[i], h.component->max_vib_target_vel[j]);
  expectIdentified(h, j);
}

// All joints in turn, each with its own motor data, each against its own truth.
TEST(Identification, AllJointsInTurn) {
  Harness h(topSpeedConfig());
  std::vector<double> const start = h.sim.jointPositions();
  startTest(99, true);
  std::vector<int> const states = runToState(h, 2, 6 * kOneJointCycles);
  EXPECT_EQ(states, (std::vector<int>{0, 1, 2}));
  for (unsigned j = 0; j < 6; ++j) {
    expectIdentified(h, j);
    EXPECT_NEAR(h.sim.jointPositions()[j], start[j] + kTravel, 1e-9);
  }
}

// A stage that fails ends the test as a stop command would: one line on standard error from each
// machine that failed, command and test state 0, the results found so far kept, no further move
// or servo write, activation refused; a new start runs a clean test to the end.
struct StageFault {
  const char* name;
  bool (*due)(Harness&);  // when the fault is injected (checked after each cycle)
  void (*inject)(vb::sim::SimController&);
  const char* err;  // what standard error shows
  int stages_done;  // stages finished before the failure: 0 none .. 3 the current scan
  uint64_t moves;   // movej2 requests in all, a refused one included
  uint64_t stops;   // stop requests: one for a move given up on
  long min_cycles;  // from the injection to the end of the test
  long max_cycles;
  bool restart;  // start again and check the new test's result
};

// Joint 1 in high-speed mode: motion tasks 1, 2 traversal, 3..33 phase scan, 34..41 current scan,
// 42, 43 verification; servo tasks 1..4 the reset, then a write of three words and an apply per
// compensation.
constexpr unsigned kFaultJoint = 1;

bool fromTheStart(Harness&) { return true; }
bool beforeTheFirstMove(Harness& h) { return publishedTestState() == 1 && h.count("movej2") == 0; }
bool traversalStarted(Harness& h) { return h.count("movej2") >= 1; }
bool traversalDone(Harness& h) { return h.component->trav_done[kFaultJoint]; }
bool currentScanDone(Harness& h) { return h.component->current_done[kFaultJoint]; }
bool verificationStarted(Harness& h) { return h.count("movej2") >= 42; }

// The bound of a move at 2 deg/s: 3 x 5.05 s + 10 s, in cycles (and the outward move before it).
constexpr long kMoveLimit = 6288;
constexpr long kMoveCycles = 1263;
// The bound of a servo task: 10 s.
constexpr long kServoLimit = 2500;

class StageFailure : public ::testing::TestWithParam<StageFault> {};

TEST_P(StageFailure, EndsTheTestWithTheResultsSoFar) {
  StageFault const f = GetParam();
  Harness h(topSpeedConfig());
  unsigned const j = kFaultJoint;
  StageComponent& c = *h.component;
  startTest(static_cast<int>(j), true);
  testing::internal::CaptureStderr();
  long injected_at = -1;
  long cycles = 0;
  bool running = false;
  long const ran = h.runUntil(
      [&] {
        ++cycles;
        if (injected_at < 0 && f.due(h)) {
          f.inject(h.sim);
          injected_at = cycles;
        }
        int const state = publishedTestState();
        running = running || state == 1;
        return injected_at >= 0 && running && state == 0;
      },
      kOneJointCycles);
  std::string const err = testing::internal::GetCapturedStderr();
  ASSERT_GT(ran, 0) << "the test did not end";
  long const took = ran - injected_at;
  EXPECT_GE(took, f.min_cycles);
  EXPECT_LE(took, f.max_cycles);
  EXPECT_EQ(err, f.err);
  EXPECT_EQ(G::vb_test_cmd.load(), 0);
  EXPECT_EQ(h.count("movej2"), f.moves);
  EXPECT_EQ(h.count("stop"), f.stops);

  // The results so far, as they stood; a failed traversal leaves no worst speed.
  vb::sim::JointTruth const truth = h.truth(static_cast<int>(j));
  bool const* const done[3] = {c.trav_done, c.phase_done, c.current_done};
  for (int s = 0; s < 3; ++s) EXPECT_EQ(done[s][j], s < f.stages_done) << "stage " << s;
  EXPECT_FALSE(c.verified[j]);
  unsigned const feat[3] = {c.first_feat_order[j], c.second_feat_order[j], c.third_feat_order[j]};
  double const phase[3] = {c.first_optimum_phase[j], c.second_optimum_phase[j],
                           c.third_optimum_phase[j]};
  double const current[3] = {c.first_optimum_current[j], c.second_optimum_current[j],
                             c.third_optimum_current[j]};
  for (int x = 0; x < 3; ++x) {
    vb::sim::ComponentTruth const& t = truth.components[static_cast<size_t>(x)];
    if (f.stages_done >= 1) {
      EXPECT_EQ(feat[x], static_cast<unsigned>(t.order)) << x;
    }
    if (f.stages_done >= 2) {
      EXPECT_NEAR(phase[x], t.optimum_phase, 1e-9) << x;
    }
    if (f.stages_done >= 3) {
      EXPECT_NEAR(current[x], t.optimum_current, 1e-9) << x;
    }
  }
  if (f.stages_done >= 1) {
    EXPECT_EQ(c.max_vib_target_vel[j], kSpeedMax);
  } else {
    EXPECT_EQ(c.max_vib_target_vel[j], 0.0);
    EXPECT_EQ(reportedWorstSpeed(j), 0.0);
  }

  // Idle: nothing more reaches the robot, and the unverified joint cannot be activated.
  h.forgetCalls();
  G::vb_activate_param[j] = true;
  for (int i = 0; i < 1000; ++i) h.cycle();
  EXPECT_EQ(publishedTestState(), 0);
  EXPECT_FALSE(G::vb_activate_param[j].load());
  EXPECT_EQ(h.count("movej2"), 0u);
  EXPECT_EQ(h.count("set_servo_config"), 0u);
  EXPECT_EQ(h.count("apply_servo_config"), 0u);

  if (!f.restart) return;
  h.sim.tasksNeverFinish(false);
  G::vb_test_cmd = 1;
  std::vector<int> const states = runToState(h, 2, kOneJointCycles);
  EXPECT_EQ(states, (std::vector<int>{0, 1, 2}));
  expectIdentified(h, j);
}

void failMotion(vb::sim::SimController& sim, int nth) {
  sim.failTask(static_cast<int>(kFaultJoint), TaskKind::Motion, nth);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StageFailure,
    ::testing::Values(
        StageFault{"TraversalReturnMoveError", fromTheStart,
                   [](vb::sim::SimController& sim) { failMotion(sim, 2); },
                   "velocityTraversal: joint 1 failed: the return move reported an error\n", 0, 2,
                   0, 0, kOneJointCycles, false},
        StageFault{"PhaseScanMoveError", fromTheStart,
                   [](vb::sim::SimController& sim) { failMotion(sim, 3); },
                   "vibrationPhaseId: joint 1 failed: the outward move reported an error\n", 1, 3,
                   0, 0, kOneJointCycles, false},
        StageFault{"CurrentScanMoveError", fromTheStart,
                   [](vb::sim::SimController& sim) { failMotion(sim, 2 + 31 + 2); },
                   "vibrationCurrentId: joint 1 failed: the return move reported an error\n", 2,
                   2 + 31 + 2, 0, 0, kOneJointCycles, false},
        StageFault{"VerificationMoveError", fromTheStart,
                   [](vb::sim::SimController& sim) { failMotion(sim, 2 + 31 + 8 + 1); },
                   "verifyIdResult: joint 1 failed: the outward move reported an error\n", 3,
                   2 + 31 + 8 + 1, 0, 0, kOneJointCycles, true},
        // The apply of the phase scan's second value.
        StageFault{"PhaseScanServoTaskError", fromTheStart,
                   [](vb::sim::SimController& sim) {
                     sim.failTask(static_cast<int>(kFaultJoint), TaskKind::Servo, 4 + 4 + 4);
                   },
                   "setPhaseAndCurrent: joint 1 failed: the apply reported an error\n"
                   "vibrationPhaseId: joint 1 failed: the compensation could not be written to the "
                   "servo drive\n",
                   1, 3, 0, 0, kOneJointCycles, true},
        StageFault{"TraversalMoveThrows", traversalStarted,
                   [](vb::sim::SimController& sim) { sim.throwOnMethod("movej2", 1); },
                   "velocityTraversal: joint 1 failed: the return move could not be started\n", 0,
                   2, 0, kMoveCycles - 5, kMoveCycles + 5, false},
        StageFault{"VerificationMoveThrows", currentScanDone,
                   [](vb::sim::SimController& sim) { sim.throwOnMethod("movej2", 1); },
                   "verifyIdResult: joint 1 failed: the outward move could not be started\n", 3,
                   2 + 31 + 8 + 1, 0, 0, 50, false},
        // A move reported running for ever is stopped at its bound, and nothing moves after it;
        // the traversal's outward move too fails (it is not the controller's error report).
        StageFault{"TraversalOutwardMoveNeverFinishes", beforeTheFirstMove,
                   [](vb::sim::SimController& sim) { sim.tasksNeverFinish(true); },
                   "velocityTraversal: joint 1 failed: the outward move did not finish within "
                   "25.152 s\n",
                   0, 1, 1, kMoveLimit, kMoveLimit + 10, false},
        StageFault{"TraversalMoveNeverFinishes", traversalStarted,
                   [](vb::sim::SimController& sim) { sim.tasksNeverFinish(true); },
                   "velocityTraversal: joint 1 failed: the return move did not finish within "
                   "25.152 s\n",
                   0, 2, 1, kMoveLimit, kMoveLimit + kMoveCycles + 10, false},
        StageFault{"PhaseScanServoTaskNeverFinishes", traversalDone,
                   [](vb::sim::SimController& sim) { sim.tasksNeverFinish(true); },
                   "setPhaseAndCurrent: joint 1 failed: the write of parameter 43 did not finish "
                   "within 10 s\n"
                   "vibrationPhaseId: joint 1 failed: the compensation could not be written to the "
                   "servo drive\n",
                   1, 2, 0, kServoLimit, kServoLimit + 10, true},
        StageFault{"VerificationMoveNeverFinishes", verificationStarted,
                   [](vb::sim::SimController& sim) { sim.tasksNeverFinish(true); },
                   "verifyIdResult: joint 1 failed: the return move did not finish within "
                   "25.152 s\n",
                   3, 2 + 31 + 8 + 2, 1, kMoveLimit, kMoveLimit + kMoveCycles + 10, false}),
    [](auto const& info) { return std::string(info.param.name); });

// The traversal's outward move refused by the SDK or reported in error by the controller: the
// traversal finishes with what it had (here the values of the reset) and says once on standard
// error why it ended early.
struct EarlyEnd {
  const char* name;
  bool (*due)(Harness&);
  void (*inject)(vb::sim::SimController&);
  const char* err;
};

class TraversalEndedEarly : public ::testing::TestWithParam<EarlyEnd> {};

TEST_P(TraversalEndedEarly, SaysSoOnStandardError) {
  EarlyEnd const e = GetParam();
  Harness h(topSpeedConfig());
  unsigned const j = kFaultJoint;
  StageComponent& c = *h.component;
  startTest(static_cast<int>(j), true);
  testing::internal::CaptureStderr();
  bool injected = false;
  long const ran = h.runUntil(
      [&] {
        if (!injected && e.due(h)) {
          e.inject(h.sim);
          injected = true;
        }
        return c.trav_done[j];
      },
      kOneJointCycles);
  G::vb_test_cmd = 0;
  for (int i = 0; i < 20; ++i) h.cycle();
  std::string const err = testing::internal::GetCapturedStderr();
  ASSERT_GT(ran, 0);
  EXPECT_EQ(err, e.err);
  EXPECT_EQ(h.count("movej2"), 1u);
  EXPECT_EQ(c.max_vib_target_vel[j], vb::kSpeedStart);  // as the reset left it
  EXPECT_EQ(c.first_feat_order[j] + c.second_feat_order[j] + c.third_feat_order[j], 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TraversalEndedEarly,
    ::testing::Values(
        EarlyEnd{"FirstOutwardMoveNotStarted", beforeTheFirstMove,
                 [](vb::sim::SimController& sim) { sim.throwOnMethod("movej2", 1); },
                 "velocityTraversal: joint 1 ended early: the outward move could not be "
                 "started\n"},
        EarlyEnd{"OutwardMoveError", fromTheStart,
                 [](vb::sim::SimController& sim) { failMotion(sim, 1); },
                 "velocityTraversal: joint 1 ended early: the outward move reported an error\n"}),
    [](auto const& info) { return std::string(info.param.name); });

// The operator pauses the arm for two minutes in the middle of a phase scan move: the test waits
// for it, then goes on to the result it would have found, every move starting only after the one
// before it has ended, and nothing stopped.
TEST(Identification, APauseInAScanMoveIsWaitedFor) {
  Harness h(topSpeedConfig());
  unsigned const j = 4;
  startTest(static_cast<int>(j), true);
  testing::internal::CaptureStderr();
  // The second phase scan move (the traversal made two), a second under way.
  ASSERT_GT(h.runUntil([&] { return h.count("movej2") == 4; }, kOneJointCycles), 0);
  for (int i = 0; i < 250; ++i) h.cycle();
  constexpr double kPauseSeconds = 120.0;
  h.sim.pauseMotionAt(h.sim.simTime() + 0.004, kPauseSeconds);
  std::vector<int> const states =
      runToState(h, 2, kOneJointCycles + static_cast<long>(kPauseSeconds / 0.004));
  std::string const err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(states, (std::vector<int>{1, 2}));
  EXPECT_EQ(err, "");
  expectIdentified(h, j);
  EXPECT_EQ(h.sim.overlappingMoves(), 0);
  EXPECT_EQ(h.count("stop"), 0u);
  EXPECT_EQ(h.count("movej2"), 2u + 31u + 8u + 2u);
}

// The robot leaving the runnable state mid-test: one stop, test state 0; back again with the
// command still given, the test starts anew from the identification reset and completes.
TEST(Identification, RobotLeavingRunnableStopsOnceAndRestarts) {
  Harness h(topSpeedConfig());
  unsigned const j = 4;
  startTest(static_cast<int>(j), true);
  // Into the phase scan, then safety leaves its run state for two seconds.
  ASSERT_GT(h.runUntil([&] { return h.component->trav_done[j]; }, kOneJointCycles), 0);
  for (int i = 0; i < 500; ++i) h.cycle();
  double const now = h.sim.simTime();
  h.sim.setRobotStateAt(now + 0.1, {6, 0, 4, 1});
  h.sim.setRobotStateAt(now + 2.1, {6, 0, 5, 1});
  h.forgetCalls();
  ASSERT_GT(h.runUntil([&] { return publishedTestState() == 0; }, 100), 0);
  for (int i = 0; i < 400; ++i) h.cycle();
  EXPECT_EQ(h.count("stop"), 1u);
  EXPECT_EQ(publishedTestState(), 0);
  EXPECT_TRUE(h.component->trav_done[j]);  // nothing cleared while away
  // Back: the reset clears the results and writes zeros to every joint, then the test runs.
  ASSERT_GT(h.runUntil([&] { return !h.component->trav_done[j]; }, 1000), 0);
  runToState(h, 2, kOneJointCycles);
  EXPECT_EQ(h.count("stop"), 1u);
  size_t zeroed_joints = 0;
  for (int joint = 0; joint < 6; ++joint) {
    std::string const prefix = std::to_string(joint) + ", 43, 0, ";
    for (auto const& call : h.calls("set_servo_config")) {
      if (call.args.rfind(prefix, 0) == 0) {
        ++zeroed_joints;
        break;
      }
    }
  }
  EXPECT_EQ(zeroed_joints, 6u);
  expectIdentified(h, j);
}

// Stopped during joint 2's phase scan in mode 99: joints 0 and 1 keep their verified results
// and can be activated: their drives and controller files then hold their words.
TEST(Identification, StopDuringAllJointsLeavesFinishedJointsActivatable) {
  Harness h(topSpeedConfig());
  StageComponent& c = *h.component;
  startTest(99, true);
  ASSERT_GT(h.runUntil([&] { return c.test_joint == 2 && c.trav_done[2]; }, 3 * kOneJointCycles),
            0);
  for (int i = 0; i < 2000; ++i) h.cycle();  // well into the phase scan
  ASSERT_FALSE(c.phase_done[2]);
  G::vb_test_cmd = 0;
  h.cycle();
  EXPECT_EQ(publishedTestState(), 0);
  EXPECT_TRUE(c.verified[0] && c.verified[1]);
  EXPECT_FALSE(c.verified[2]);
  G::vb_activate_param[0] = true;
  G::vb_activate_param[1] = true;
  ASSERT_GT(h.runUntil([&] { return c.activated[0] && c.activated[1]; }, 2000), 0);
  int const params[3] = {43, 45, 26};
  char const* const names[3] = {"VB_PARAM_1", "VB_PARAM_2", "VB_PARAM_3"};
  std::map<vb::sim::FileParamKey, double> const file = h.sim.fileParams();
  for (int joint = 0; joint < 2; ++joint) {
    SCOPED_TRACE("joint " + std::to_string(joint));
    expectIdentified(h, static_cast<unsigned>(joint));
    unsigned const words[3] = {c.first_servo_param[joint], c.second_servo_param[joint],
                               c.third_servo_param[joint]};
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(h.sim.activeServoParam(joint, params[x]), static_cast<int32_t>(words[x]));
      auto const it = file.find(vb::sim::FileParamKey{joint, params[x], names[x]});
      ASSERT_NE(it, file.end());
      EXPECT_EQ(it->second, static_cast<double>(words[x]));
    }
  }
  // A request for joint 2, not verified, is set back.
  G::vb_activate_param[2] = true;
  h.cycle();
  EXPECT_FALSE(G::vb_activate_param[2]);
}

// A servo task that does not finish holds the test for up to 10 s of cycles; stopped within
// them and started again (the controller working again), the test runs from the reset to the end.
TEST(Identification, ServoTaskThatNeverFinishesThenStopAndStart) {
  Harness h(topSpeedConfig());
  unsigned const j = 5;
  StageComponent& c = *h.component;
  startTest(static_cast<int>(j), true);
  // The traversal's last cycle: the next request is the phase scan's first servo write.
  ASSERT_GT(h.runUntil([&] { return c.trav_done[j]; }, kOneJointCycles), 0);
  h.sim.tasksNeverFinish(true);
  h.forgetCalls();
  for (int i = 0; i < 2000; ++i) h.cycle();
  EXPECT_EQ(h.count("set_servo_config"), 1u);
  EXPECT_EQ(h.count("movej2"), 0u);
  EXPECT_EQ(publishedTestState(), 1);

  G::vb_test_cmd = 0;
  h.cycle();
  EXPECT_EQ(publishedTestState(), 0);
  h.sim.tasksNeverFinish(false);
  G::vb_test_cmd = 1;
  std::vector<int> const states = runToState(h, 2, kOneJointCycles);
  EXPECT_EQ(states, (std::vector<int>{0, 1, 2}));
  expectIdentified(h, j);
}

}  // namespace
