// The move, poll and sample pattern of the measuring stages, against the simulated controller
// over loopback TCP, one simulated control period per poll.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "OvraCobot.h"
#include "TestMoves.h"
#include "sim/SimController.h"

namespace {

using vb::kAccelerationPerSpeed;
using vb::kTravel;
using vb::MovePoll;
using vb::sim::RecordedCall;
using vb::sim::TaskKind;

constexpr double kSpeed = vb::kSpeedMax;  // 2 deg/s
constexpr unsigned kJoint = 2;

class TestMovesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int const port = sim.start(0);
    cobot = std::make_unique<OvraRPC::OvraCobot>("127.0.0.1", static_cast<unsigned>(port));
    ASSERT_EQ(cobot->open(), 0);
  }

  // One control period of the simulated controller.
  void tick() {
    sim.withModel([](vb::sim::RobotModel& m) { m.advance(); });
  }

  // Ticks and polls once; calls() then holds the requests of that poll.
  MovePoll pollOnce(unsigned joint, double speed) {
    tick();
    sim.clearCalls();
    return vb::pollTestMove(*cobot, move, joint, speed, samples);
  }

  std::vector<std::string> requestsOfLastPoll() const {
    std::vector<std::string> names;
    for (RecordedCall const& call : sim.calls()) names.push_back(call.method);
    return names;
  }

  // Polls until the move leaves the poll; the number of polls, -1 if it never does.
  int pollToEnd(unsigned joint, double speed, MovePoll& result) {
    for (int n = 1; n < 20000; ++n) {
      result = pollOnce(joint, speed);
      if (result != MovePoll::kWaiting) return n;
    }
    return -1;
  }

  bool startOutward(unsigned joint = kJoint, double travel = kTravel, double speed = kSpeed) {
    return vb::startOutwardMove(*cobot, joint, travel, speed, start_joints, move);
  }

  vb::sim::SimController sim;
  std::unique_ptr<OvraRPC::OvraCobot> cobot;
  std::vector<double> start_joints;
  std::vector<double> samples;
  vb::TestMove move;
};

std::string text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string list(std::vector<double> const& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + text(v[i]);
  return out + "]";
}

// The outward move goes one travel from the actual positions; the return move goes back to
// exactly the positions read before it, not to the outward target minus the travel.
TEST_F(TestMovesTest, OutwardAndReturnTargets) {
  std::vector<double> const before = sim.jointPositions();
  sim.clearCalls();
  ASSERT_TRUE(startOutward());
  EXPECT_EQ(start_joints, before);
  std::vector<double> target = before;
  target[kJoint] += kTravel;
  std::vector<RecordedCall> moves = sim.callsOf("movej2");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].args, list(target) + ", " + text(kSpeed) + ", " +
                               text(kAccelerationPerSpeed * kSpeed) + ", 0, false");
  EXPECT_EQ(sim.calls().front().method, "get_actual_joints_position");
  MovePoll result{};
  ASSERT_GT(pollToEnd(kJoint, kSpeed, result), 0);
  ASSERT_EQ(result, MovePoll::kFinished);

  sim.clearCalls();
  vb::startReturnMove(*cobot, start_joints, kTravel, kSpeed, move);
  moves = sim.callsOf("movej2");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].args, list(before) + ", " + text(kSpeed) + ", " +
                               text(kAccelerationPerSpeed * kSpeed) + ", 0, false");
  ASSERT_GT(pollToEnd(kJoint, kSpeed, result), 0);
  EXPECT_EQ(result, MovePoll::kFinished);
  std::vector<double> const after = sim.jointPositions();
  for (size_t i = 0; i < before.size(); ++i) EXPECT_NEAR(after[i], before[i], 1e-12);
}

// While the task runs, each poll makes one task query and two speed reads and takes one sample,
// the velocity error in deg/s; the poll that sees the task finished makes two queries.
TEST_F(TestMovesTest, OneSamplePerRunningCycleInOrder) {
  ASSERT_TRUE(startOutward());
  std::vector<double> expected;
  MovePoll result = MovePoll::kWaiting;
  int polls = 0;
  while (result == MovePoll::kWaiting && polls < 20000) {
    result = pollOnce(kJoint, kSpeed);
    ++polls;
    if (result == MovePoll::kWaiting) {
      ASSERT_EQ(requestsOfLastPoll(),
                (std::vector<std::string>{"get_noneblock_taskstate", "get_actual_joints_speed",
                                          "get_target_joints_speed"}));
      double error = 0.0;
      sim.withModel([&](vb::sim::RobotModel& m) { error = m.velocityError(kJoint); });
      expected.push_back(error);
    }
  }
  ASSERT_EQ(result, MovePoll::kFinished);
  EXPECT_EQ(requestsOfLastPoll(),
            (std::vector<std::string>{"get_noneblock_taskstate", "get_noneblock_taskstate"}));
  // 10 degrees at 2 deg/s: 5 s and the ramps, one sample per 4 ms.
  EXPECT_NEAR(static_cast<double>(samples.size()), 5.05 / 0.004, 3.0);
  ASSERT_EQ(samples.size(), expected.size());
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_NEAR(samples[i], expected[i], 1e-9);
}

TEST_F(TestMovesTest, AnErrorTakesTheFailureAfterThreeQueries) {
  sim.failTask(static_cast<int>(kJoint), TaskKind::Motion, 1);
  ASSERT_TRUE(startOutward());
  EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kFailed);
  EXPECT_EQ(requestsOfLastPoll(), std::vector<std::string>(3, "get_noneblock_taskstate"));
  EXPECT_TRUE(samples.empty());
}

// A stopped task (neither running, finished nor failed) is waited for: three queries, no sample.
TEST_F(TestMovesTest, AnotherStateWaitsWithoutASample) {
  ASSERT_TRUE(startOutward());
  ASSERT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kWaiting);
  ASSERT_EQ(samples.size(), 1u);
  ASSERT_EQ(cobot->stop(false), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kWaiting);
    EXPECT_EQ(requestsOfLastPoll(), std::vector<std::string>(3, "get_noneblock_taskstate"));
  }
  EXPECT_EQ(samples.size(), 1u);
}

// A move that ends before its first poll contributes no sample.
TEST_F(TestMovesTest, FinishedAtTheFirstPollGivesNoSample) {
  ASSERT_TRUE(startOutward(kJoint, 0.0));
  MovePoll result{};
  EXPECT_EQ(pollToEnd(kJoint, kSpeed, result), 1);
  EXPECT_EQ(result, MovePoll::kFinished);
  EXPECT_TRUE(samples.empty());
}

// A failed position read starts nothing; the next attempt moves.
TEST_F(TestMovesTest, FailedPositionReadStartsNoMove) {
  sim.throwOnMethod("get_actual_joints_position", 1);
  move.ret = 77;
  EXPECT_FALSE(startOutward());
  EXPECT_EQ(sim.callCount("movej2"), 0u);
  EXPECT_EQ(move.ret, 77);
  EXPECT_TRUE(startOutward());
  EXPECT_EQ(sim.callCount("movej2"), 1u);
  // A joint the controller does not report is never moved either.
  EXPECT_FALSE(startOutward(6));
  EXPECT_EQ(sim.callCount("movej2"), 1u);
}

// A speed list without the joint's entry gives no sample in that cycle.
TEST_F(TestMovesTest, FailedSpeedReadGivesNoSample) {
  ASSERT_TRUE(startOutward());
  sim.throwOnMethod("get_target_joints_speed", 1);
  EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kWaiting);
  EXPECT_TRUE(samples.empty());
  EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kWaiting);
  EXPECT_EQ(samples.size(), 1u);
  EXPECT_EQ(pollOnce(6, kSpeed), MovePoll::kWaiting);  // no seventh joint: no sample
  EXPECT_EQ(samples.size(), 1u);
}

struct ThresholdCase {
  const char* name;
  double excess;  // target speed of the cruise minus the speed the poll is given, rad/s
  bool cruise_sampled;
};

class SampleThresholdTest : public TestMovesTest,
                            public ::testing::WithParamInterface<ThresholdCase> {};

// The sample test is one-sided: |target| - v < 0.001 rad/s. Ramps always pass.
TEST_P(SampleThresholdTest, CruiseSamples) {
  ThresholdCase const c = GetParam();
  ASSERT_TRUE(startOutward());
  MovePoll result{};
  int const polls = pollToEnd(kJoint, kSpeed - c.excess, result);
  ASSERT_EQ(result, MovePoll::kFinished);
  int const running_polls = polls - 1;
  if (c.cruise_sampled) {
    EXPECT_EQ(static_cast<int>(samples.size()), running_polls);
  } else {
    // Only the ramps: v / a = 0.05 s each, about a dozen cycles each.
    EXPECT_GT(samples.size(), 10u);
    EXPECT_LT(samples.size(), 40u);
  }
}

INSTANTIATE_TEST_SUITE_P(Excess, SampleThresholdTest,
                         ::testing::Values(ThresholdCase{"Equal", 0.0, true},
                                           ThresholdCase{"HalfAThousandth", 0.0005, true},
                                           ThresholdCase{"TwoThousandths", 0.002, false},
                                           ThresholdCase{"Below", -0.01, true}),
                         [](auto const& info) { return std::string(info.param.name); });

// Standstill while the controller still reports the task running: sampled.
TEST_F(TestMovesTest, StandstillWhileRunningIsSampled) {
  sim.tasksNeverFinish(true);
  ASSERT_TRUE(startOutward(kJoint, 0.0));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kWaiting);
  ASSERT_EQ(samples.size(), 5u);
}

// A move the SDK could not start (its error value as the task id) fails at its first poll,
// without asking the controller about task -1.
TEST_F(TestMovesTest, AMoveThatCouldNotBeStartedFailsAtOnce) {
  sim.throwOnMethod("movej2", 1);
  ASSERT_TRUE(startOutward());
  EXPECT_EQ(move.ret, -1);
  EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kFailed);
  EXPECT_EQ(move.fault, vb::TaskFault::kNotStarted);
  EXPECT_TRUE(requestsOfLastPoll().empty());
}

// A move reported running for ever fails after three times its nominal duration and 10 s of
// polls: 10 degrees at 2 deg/s last 5.05 s, so 25.15 s, 6288 cycles. It is stopped then, once,
// and asked nothing more.
TEST_F(TestMovesTest, AMoveThatNeverFinishesFailsAfterItsLimit) {
  EXPECT_EQ(vb::movePollLimit(kTravel, kSpeed), 6288);
  EXPECT_EQ(vb::movePollLimit(kTravel, kSpeed / 4), 17538);  // 0.5 deg/s: 70.15 s
  EXPECT_EQ(vb::movePollLimit(kTravel, 0.0), 86400 * 250);   // no speed: a day
  sim.tasksNeverFinish(true);
  ASSERT_TRUE(startOutward());
  MovePoll result{};
  EXPECT_EQ(pollToEnd(kJoint, kSpeed, result), 6289);
  EXPECT_EQ(result, MovePoll::kFailed);
  EXPECT_EQ(move.fault, vb::TaskFault::kTimedOut);
  EXPECT_EQ(requestsOfLastPoll(), std::vector<std::string>{"stop"});
  std::vector<double> const held = sim.jointPositions();
  EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kFailed);
  EXPECT_TRUE(requestsOfLastPoll().empty());
  for (int i = 0; i < 10; ++i) tick();
  EXPECT_EQ(sim.jointPositions(), held);
  // A new move starts its own count.
  ASSERT_TRUE(startOutward());
  EXPECT_EQ(pollOnce(kJoint, kSpeed), MovePoll::kWaiting);
  EXPECT_EQ(move.fault, vb::TaskFault::kNone);
}

// A pause longer than the move's limit: the paused cycles ask three times, sample nothing and do
// not count, so the move finishes once the controller lets it go on, with the samples of a move
// that never paused.
TEST_F(TestMovesTest, APausedMoveIsWaitedForBeyondItsLimit) {
  constexpr double kPauseSeconds = 60.0;  // the limit at 2 deg/s is 25.152 s
  double const now = sim.simTime();
  sim.pauseMotionAt(now + 1.0, kPauseSeconds);
  ASSERT_TRUE(startOutward());
  MovePoll result{};
  int running = 0;
  int paused = 0;
  for (int n = 0; n < 30000 && result == MovePoll::kWaiting; ++n) {
    size_t const before = samples.size();
    result = pollOnce(kJoint, kSpeed);
    if (samples.size() > before) {
      ++running;
    } else if (result == MovePoll::kWaiting) {
      ++paused;
      ASSERT_EQ(requestsOfLastPoll(), std::vector<std::string>(3, "get_noneblock_taskstate"));
    }
  }
  EXPECT_EQ(result, MovePoll::kFinished);
  EXPECT_EQ(move.fault, vb::TaskFault::kNone);
  EXPECT_NEAR(paused, kPauseSeconds / 0.004, 1.0);
  EXPECT_NEAR(static_cast<double>(running), 5.05 / 0.004, 3.0);
  EXPECT_NEAR(sim.jointPositions()[kJoint], start_joints[kJoint] + kTravel, 1e-9);
}

TEST(RootMeanSquare, OfSamples) {
  EXPECT_EQ(vb::rootMeanSquare({}), 0.0);
  EXPECT_DOUBLE_EQ(vb::rootMeanSquare({3.0, -4.0}), std::sqrt(12.5));
}

}  // namespace
