// The operator client's progress estimate: the schedule of moves it walks through by the clock,
// the corrections from the program's printed lines, and its text.
#include "Progress.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "TestSchedule.h"

namespace vb {
namespace tools {
namespace {

struct Step {
  Stage stage;
  int joint;
  int move;
  int moves;
  double speed;
};

bool operator==(const Step& a, const Step& b) {
  return a.stage == b.stage && a.joint == b.joint && a.move == b.move && a.moves == b.moves &&
         std::fabs(a.speed - b.speed) < 1e-9;
}

std::ostream& operator<<(std::ostream& out, const Step& s) {
  return out << stageName(s.stage) << " of joint " << s.joint << ", move " << s.move << "/"
             << s.moves << " at " << s.speed << " deg/s";
}

Step stepOf(const ProgressView& v) {
  return Step{v.stage, v.joint, v.move, v.moves, std::round(v.speed * 10) / 10};
}

// Every move the estimate shows from `from` to `to`, in order, looked at every `dt` seconds.
std::vector<Step> walk(const ProgressEstimate& e, double from, double to, double dt) {
  std::vector<Step> steps;
  for (double t = from; t <= to; t += dt) {
    const Step s = stepOf(e.at(t));
    if (steps.empty() || !(steps.back() == s)) steps.push_back(s);
  }
  return steps;
}

// The moves of one joint's identification: the traversal at each speed out and back, then the
// 31 phase values, the 8 current values and the two verification moves at the worst speed.
std::vector<Step> schedule(int joint, const std::vector<double>& traversal_speeds, double worst) {
  std::vector<Step> steps;
  const int n = static_cast<int>(2 * traversal_speeds.size());
  for (int k = 0; k < n; ++k)
    steps.push_back({Stage::kTraversal, joint, k + 1, n, traversal_speeds[k / 2]});
  for (int k = 0; k < 31; ++k) steps.push_back({Stage::kPhaseScan, joint, k + 1, 31, worst});
  for (int k = 0; k < 8; ++k) steps.push_back({Stage::kCurrentScan, joint, k + 1, 8, worst});
  for (int k = 0; k < 2; ++k) steps.push_back({Stage::kVerification, joint, k + 1, 2, worst});
  return steps;
}

std::vector<double> normalGrid() {
  std::vector<double> speeds;
  for (int k = 5; k <= 20; ++k) speeds.push_back(k / 10.0);
  return speeds;
}

// By the clock alone (no program lines), from the run's start at t = 1 s.
TEST(ProgressByTheClock, WalksThroughEveryMoveOfTheSchedule) {
  struct Case {
    int mode;
    bool high_speed;
    std::vector<int> joints;
    std::vector<double> traversal;
    double worst;  // what the estimate assumes before the traversal tells
  };
  const Case cases[] = {
      {0, true, {0}, {2.0}, 2.0},
      {3, false, {3}, normalGrid(), 1.3},  // 1.25 deg/s, shown to one decimal
      {99, true, {0, 1, 2, 3, 4, 5}, {2.0}, 2.0},
  };
  for (const Case& c : cases) {
    ProgressEstimate e(c.mode, c.high_speed, false);
    e.testState(0, 0.0);
    e.testState(1, 1.0);
    std::vector<Step> expected;
    for (int j : c.joints) {
      const std::vector<Step> one = schedule(j, c.traversal, c.worst);
      expected.insert(expected.end(), one.begin(), one.end());
    }
    const double total = e.at(1.0).left;
    EXPECT_EQ(walk(e, 1.0, 1.0 + total + 60, 0.05), expected) << "mode " << c.mode;
    EXPECT_NEAR(e.at(1.0 + total + 60).left, 0.0, 1e-3);
  }
}

TEST(ProgressByTheClock, EstimatesTheNominalDurationAndCountsDown) {
  // High speed: 43 moves of 10 degrees at 2 deg/s, 5 s each, and their servo writes.
  ProgressEstimate e(0, true, false);
  e.testState(0, 0.0);
  const ProgressView reset = e.at(0.1);
  EXPECT_EQ(reset.stage, Stage::kReset);
  EXPECT_NEAR(reset.left, 43 * 5.0, 10.0);
  e.testState(1, 0.5);
  const double start = e.at(0.5).left;
  EXPECT_NEAR(start, 43 * 5.0, 10.0);
  for (double t : {10.0, 100.0, 200.0}) {
    const ProgressView v = e.at(0.5 + t);
    EXPECT_NEAR(v.left, start - t, 1e-6) << "at " << t << " s";
    EXPECT_DOUBLE_EQ(v.elapsed, 0.5 + t);
  }
  // Normal mode: the traversal alone is 2 x 10 degrees at each of 0.5, 0.6, ..., 2.0 deg/s.
  ProgressEstimate normal(0, false, false);
  normal.testState(1, 0.0);
  double traversal = 0;
  for (double v : normalGrid()) traversal += 2 * 10.0 / v;
  // Then 41 moves at the middle of the grid, 1.25 deg/s, until the traversal has found the speed.
  EXPECT_NEAR(normal.at(0.0).left, traversal + 41 * 10.0 / 1.25, 15.0);
}

// With the program's lines: a stage end that the program prints is waited for, and each line
// sets the position and the pace.
TEST(ProgressWithProgramLines, WaitsForThePrintedStageEnds) {
  ProgressEstimate e(0, true, true);
  e.testState(1, 0.0);
  // The controller is slow: no end of the traversal long after its nominal 10 s.
  const ProgressView waiting = e.at(60.0);
  EXPECT_EQ(stepOf(waiting), (Step{Stage::kTraversal, 0, 2, 2, 2.0}));
  const double left_waiting = waiting.left;
  EXPECT_NEAR(e.at(90.0).left, left_waiting, 1e-9) << "no count-down past an unseen stage end";
  EXPECT_NEAR(left_waiting, 41 * 5.0, 10.0);
}

TEST(ProgressWithProgramLines, TraversalLineSetsWorstSpeedAndPace) {
  struct Case {
    const char* name;
    bool high_speed;
    std::vector<std::string> lines;  // at the end of the traversal
    double traversal_took;           // s
    std::vector<Step> next;          // the moves that follow
  };
  const std::vector<std::string> found = {
      "0 max vib velo: 0.0191986", "0 first freq: 1.95 3.9 4 0.24", "0 second freq: 3.9 7.9 8 0.2",
      "0 third freq: 7.3 14.9 15 1.8"};
  const std::vector<std::string> nothing = {"0 max vib velo: 0.00872665", "0 first freq: 0 0 0 0",
                                            "0 second freq: 0 0 0 0", "0 third freq: 0 0 0 0"};
  double normal_traversal = 0;
  for (double v : normalGrid()) normal_traversal += 2 * (10.0 / v + 0.062);
  const Case cases[] = {
      // Normal mode, worst speed 1.1 deg/s: the scans move at that speed.
      {"worst 1.1 deg/s",
       false,
       found,
       normal_traversal,
       {{Stage::kPhaseScan, 0, 1, 31, 1.1}, {Stage::kPhaseScan, 0, 2, 31, 1.1}}},
      // High speed, the traversal twice as slow as nominal: so is everything after it.
      {"slow controller",
       true,
       {"0 max vib velo: 0.0349066"},
       2 * 10.124,
       {{Stage::kPhaseScan, 0, 1, 31, 2.0}, {Stage::kPhaseScan, 0, 2, 31, 2.0}}},
      // No order found: the scans have nothing to do, the verification comes next.
      {"no orders",
       true,
       nothing,
       10.124,
       {{Stage::kVerification, 0, 1, 2, 0.5}, {Stage::kVerification, 0, 2, 2, 0.5}}},
  };
  for (const Case& c : cases) {
    ProgressEstimate e(0, c.high_speed, true);
    e.testState(1, 1.0);
    const double t = 1.0 + c.traversal_took;
    for (const std::string& line : c.lines) e.programLine(line, t);
    const std::vector<Step> steps = walk(e, t, t + 2 * 10.0 / c.next[0].speed * 2.5, 0.05);
    ASSERT_GE(steps.size(), 2u) << c.name;
    EXPECT_EQ(std::vector<Step>(steps.begin(), steps.begin() + 2), c.next) << c.name;
    const double pace = c.traversal_took / (c.high_speed ? 10.124 : normal_traversal);
    const double move = 10.0 / c.next[0].speed;
    // The next move comes after the nominal time at the pace found.
    const ProgressView a = e.at(t + pace * move * 0.5);
    const ProgressView b = e.at(t + pace * move * 1.5);
    EXPECT_EQ(b.move, a.move + 1) << c.name;
    EXPECT_NEAR(a.left - b.left, pace * move, 0.2 * pace) << c.name;
  }
}

TEST(ProgressWithProgramLines, PlannedMovesRunAtTheGridSpeedThatTheLineStandsFor) {
  constexpr double kDeg = 3.141592653589793 / 180.0;
  struct Case {
    const char* line;  // the traversal's first result line, six digits
    double worst;      // rad/s of the scans' and the verification's moves
    double exact;      // how close to it
  };
  const Case cases[] = {
      {"0 max vib velo: 0.0349066", vb::kSpeedMax, 0.0},     // the grid's last speed
      {"0 max vib velo: 0.00872665", vb::kSpeedStart, 0.0},  // its first: none recorded
      {"0 max vib velo: 0.0191986", 1.1 * kDeg, 1e-15},
      {"0 max vib velo: 0.02", 0.02, 0.0},  // no speed of the grid: as printed
  };
  for (const Case& c : cases) {
    ProgressEstimate e(0, true, true);
    e.testState(1, 0.0);
    EXPECT_EQ(e.plannedSpeeds(0, Stage::kReset), std::vector<double>{});
    EXPECT_EQ(e.plannedSpeeds(0, Stage::kTraversal), std::vector<double>(2, vb::kSpeedMax));
    e.programLine(c.line, 10.0);
    for (Stage s : {Stage::kPhaseScan, Stage::kCurrentScan, Stage::kVerification}) {
      const std::vector<double> speeds = e.plannedSpeeds(0, s);
      EXPECT_EQ(speeds.size(), s == Stage::kPhaseScan ? 31u : s == Stage::kCurrentScan ? 8u : 2u);
      for (double v : speeds) EXPECT_NEAR(v, c.worst, c.exact) << c.line << ", " << stageName(s);
    }
  }
  ProgressEstimate other(3, true, true);
  EXPECT_EQ(other.plannedSpeeds(1, Stage::kTraversal), std::vector<double>{}) << "no such joint";
}

TEST(ProgressWithProgramLines, VerificationLineMovesToTheNextJoint) {
  ProgressEstimate e(99, true, true);
  e.testState(1, 0.0);
  e.programLine("0 max vib velo: 0.0349066", 10.0);
  e.programLine("0 optimum result: ", 220.0);
  const ProgressView v = e.at(221.0);
  EXPECT_EQ(stepOf(v), (Step{Stage::kTraversal, 1, 1, 2, 2.0}));
  EXPECT_EQ(v.joint_index, 1);
  EXPECT_EQ(v.joints, 6);
  // Five joints left, each about as long as the first.
  EXPECT_NEAR(v.left, 5 * 220.0, 50.0);
}

TEST(ProgressWithProgramLines, IgnoresLinesItCannotUse) {
  const char* lines[] = {
      "6 max vib velo: 0.0349066",  // a joint the test does not identify
      "1 max vib velo: 0.0349066",  // another joint than the one under test
      "0 max vib velo: nan",       "0 max vib velo: ",
      "0 max vib velo: x",         "x max vib velo: 0.03",
      "10 max vib velo: 0.03",
      "0 first freq: 1 2 3 4",  // a slot line without the traversal's first line
      "origin_vel_err_rmse: 0.1",  "",
  };
  for (const char* line : lines) {
    ProgressEstimate plain(0, true, true);
    ProgressEstimate fed(0, true, true);
    plain.testState(1, 0.0);
    fed.testState(1, 0.0);
    fed.programLine(line, 3.0);
    for (double t : {3.0, 9.0, 30.0}) {
      EXPECT_EQ(stepOf(fed.at(t)), stepOf(plain.at(t))) << "\"" << line << "\" at " << t;
      EXPECT_DOUBLE_EQ(fed.at(t).left, plain.at(t).left) << "\"" << line << "\" at " << t;
    }
  }
}

TEST(ProgressStates, IdleRestartAndFinish) {
  ProgressEstimate e(0, false, true);
  EXPECT_EQ(e.at(0.0).stage, Stage::kReset);
  e.programLine("0 max vib velo: 0.0191986", 0.5);  // before the run: not this test's
  e.testState(1, 1.0);
  e.programLine("0 max vib velo: 0.0191986", 400.0);
  EXPECT_EQ(stepOf(e.at(401.0)), (Step{Stage::kPhaseScan, 0, 1, 31, 1.1}));

  // The robot left its runnable state: the test waits idle, without an estimate.
  e.testState(0, 402.0);
  const ProgressView idle = e.at(410.0);
  EXPECT_EQ(idle.stage, Stage::kIdle);
  EXPECT_LT(idle.left, 0);
  // It comes back and the test runs again from the reset, with nothing found yet.
  e.testState(1, 420.0);
  EXPECT_EQ(stepOf(e.at(421.0)), (Step{Stage::kTraversal, 0, 1, 32, 0.5}));

  e.testState(2, 900.0);
  const ProgressView done = e.at(950.0);
  EXPECT_EQ(done.stage, Stage::kFinished);
  EXPECT_EQ(done.left, 0.0);
  EXPECT_EQ(done.elapsed, 900.0);
  e.testState(1, 960.0);
  EXPECT_EQ(e.at(961.0).stage, Stage::kFinished) << "a finished test stays finished";
}

TEST(ProgressText, Durations) {
  const std::tuple<double, const char*> cases[] = {
      {0.0, "0:00"},       {59.4, "0:59"},      {59.6, "1:00"}, {65.0, "1:05"}, {3599.0, "59:59"},
      {3600.0, "1:00:00"}, {3725.0, "1:02:05"}, {-1.0, "?"},    {NAN, "?"},     {INFINITY, "?"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

TEST(ProgressText, Lines) {
  // stage, joint, joint_index, joints, move, moves, speed, elapsed, left
  const ProgressView reset{Stage::kReset, -1, 0, 1, 0, 0, 0.0, 0.4, 220.0};
  const ProgressView phase{Stage::kPhaseScan, 0, 0, 1, 12, 31, 2.0, 65.0, 151.0};
  const ProgressView all{Stage::kVerification, 2, 2, 6, 1, 2, 1.1, 65.0, 151.0};
  const ProgressView idle{Stage::kIdle, -1, 0, 1, 0, 0, 0.0, 40.0, -1.0};
  const ProgressView finished{Stage::kFinished, -1, 0, 1, 0, 0, 0.0, 219.0, 0.0};
  const std::tuple<ProgressView, const char*> cases[] = {
      {reset, "resetting the servo compensation, 0:00 elapsed, ~3:40 left"},
      {phase, "joint 0, phase scan: move 12/31 at 2.0 deg/s, 1:05 elapsed, ~2:31 left"},
      {all, "joint 2 (3/6), verification: move 1/2 at 1.1 deg/s, 1:05 elapsed, ~2:31 left"},
      {idle, "idle (stopped, or the robot is not runnable), 0:40 elapsed"},
      {finished, "finished, 3:39 elapsed"},
  };
  for (const auto& [view, text] : cases) EXPECT_EQ(formatProgress(view), text);
}

class FileTailTest : public ::testing::Test {
 protected:
  void write(const std::string& text, bool append = true) {
    std::ofstream(path_, append ? std::ios::app : std::ios::trunc) << text;
  }
  std::vector<std::string> poll(FileTail& tail) {
    std::vector<std::string> lines;
    EXPECT_TRUE(tail.poll(&lines));
    return lines;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  std::string path_ = ::testing::TempDir() + "vb_tail_" + std::to_string(::getpid()) + ".log";
};

TEST_F(FileTailTest, WholeLinesAppendedSinceItOpened) {
  write("earlier line\n", false);
  FileTail tail(path_);
  EXPECT_TRUE(poll(tail).empty());
  write("0 max vib velo: 0.0349066\n0 first");
  EXPECT_EQ(poll(tail), std::vector<std::string>{"0 max vib velo: 0.0349066"});
  write(" freq: 1 2 3 4\n");
  EXPECT_EQ(poll(tail), std::vector<std::string>{"0 first freq: 1 2 3 4"});
  // A new program's log, shorter than what was read: from its start.
  write("a\n", false);
  EXPECT_EQ(poll(tail), std::vector<std::string>{"a"});
  // A line without end is cut, not kept whole.
  write(std::string(100000, 'x') + "\nb\n");
  const std::vector<std::string> lines = poll(tail);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(4096, 'x'));
  EXPECT_EQ(lines[1], "b");
}

TEST_F(FileTailTest, MissingFile) {
  FileTail tail(path_);
  std::vector<std::string> lines;
  EXPECT_FALSE(tail.poll(&lines));
  write("first\n", false);
  EXPECT_EQ(poll(tail), std::vector<std::string>{"first"}) << "a file that comes later: whole";
}

TEST(ProgressText, StageFailureLines) {
  const struct {
    const char* line;
    bool failure;
  } cases[] = {
      {"velocityTraversal: joint 1 failed: the return move reported an error", true},
      {"verifyIdResult: joint 0 failed: the outward move could not be started", true},
      {"setPhaseAndCurrent: joint 5 failed: the write of parameter 43 did not finish", true},
      {"resetId: clearing the servo compensation of joint 2 failed; retrying in 1 s", false},
      {"velocityTraversal: joint 6 failed: x", false},
      {": joint 1 failed: x", false},
      {"a b: joint 1 failed: x", false},
      {"velocityTraversal: joint 1 failed", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isStageFailure(c.line), c.failure) << c.line;
}

}  // namespace
}  // namespace tools
}  // namespace vb
