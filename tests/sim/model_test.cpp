// The model itself, stepped in-process: move timing, task states, the servo drive, the
// vibration components and their compensation, robot-state and motor-data faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "reference_identification.h"
#include "sim/RobotModel.h"

namespace vb::sim {
namespace {

constexpr double kDeg = kPi / 180.0;

struct MoveResult {
  int ticks = 0;  // ticks until the first query that did not report running
  int32_t final_state = 0;
  double peak_speed = 0.0;
  double end_position = 0.0;
};

MoveResult runMove(RobotModel& m, int joint, double distance, double v) {
  std::vector<double> targets = m.positions();
  targets[joint] += distance;
  const int32_t id = m.movej2(targets, v, 20.0 * v);
  MoveResult r;
  for (; r.ticks < 1000000;) {
    m.advance();
    ++r.ticks;
    r.peak_speed = std::max(r.peak_speed, std::fabs(m.targetSpeeds()[joint]));
    r.final_state = m.taskState(id);
    if (r.final_state != TaskState::ST_Running) break;
  }
  r.end_position = m.positions()[joint];
  return r;
}

struct TimingCase {
  double distance_deg;
  double speed_deg_s;
  double duration_s;  // profile duration: d / v + v / a, or 2 sqrt(d / a) when v is never reached
};

class MoveTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(MoveTiming, TakesTheTrapezoidalProfileDurationInSimulatedTime) {
  const TimingCase c = GetParam();
  RobotModel m;
  const double start = m.positions()[1];
  const MoveResult r = runMove(m, 1, c.distance_deg * kDeg, c.speed_deg_s * kDeg);
  EXPECT_EQ(r.final_state, TaskState::ST_Finished);
  // Finished from the first query at or after the end of the profile.
  EXPECT_EQ(r.ticks, static_cast<int>(std::ceil(c.duration_s / kControlPeriod - 1e-9)));
  EXPECT_NEAR(r.end_position, start + c.distance_deg * kDeg, 1e-12);
  const double v = c.speed_deg_s * kDeg;
  // The cruise speed is reached exactly; a triangle's peak falls between ticks.
  const double peak = std::min(v, std::sqrt(std::fabs(c.distance_deg * kDeg) * 20.0 * v));
  EXPECT_LE(r.peak_speed, peak + 1e-15);
  EXPECT_GE(r.peak_speed, peak - 20.0 * v * kControlPeriod);
}

INSTANTIATE_TEST_SUITE_P(Profiles, MoveTiming,
                         ::testing::Values(TimingCase{10.0, 1.0, 10.05},
                                           TimingCase{10.0, 0.5, 20.05},
                                           TimingCase{10.0, 2.0, 5.05},
                                           TimingCase{-10.0, 1.0, 10.05},
                                           // 0.01 deg at 1 deg/s and 20 deg/s^2: a triangle.
                                           TimingCase{0.01, 1.0, 2.0 * std::sqrt(0.01 / 20.0)}));

TEST(Motion, RampsAtTheGivenAccelerationAndReportsSignedTargetSpeeds) {
  RobotModel m;
  const double v = 1.0 * kDeg;
  std::vector<double> targets = m.positions();
  targets[3] -= 10.0 * kDeg;
  m.movej2(targets, v, 20.0 * v);
  m.advance();  // t = 0.004 into the move
  EXPECT_NEAR(m.targetSpeeds()[3], -20.0 * v * 0.004, 1e-15);
  for (int i = 0; i < 20; ++i) m.advance();
  EXPECT_NEAR(m.targetSpeeds()[3], -v, 1e-15);
  for (int j : {0, 1, 2, 4, 5}) EXPECT_EQ(m.targetSpeeds()[j], 0.0);
}

TEST(Tasks, IdsAreFreshAndUnknownIdsReportZero) {
  RobotModel m;
  const int32_t a = m.setServoConfig(0, 43, 0);
  const int32_t b = m.applyServoConfig(0);
  std::vector<double> targets = m.positions();
  targets[0] += 0.01;
  const int32_t c = m.movej2(targets, 0.01, 0.2);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(m.taskState(c + 1), TaskState::ST_Idle);
  EXPECT_EQ(m.taskState(-1), TaskState::ST_Idle);
  EXPECT_EQ(m.taskState(a), TaskState::ST_Finished);
}

TEST(Tasks, StopHaltsTheJointWhereItStandsAndLeavesTheTaskStopped) {
  RobotModel m;
  std::vector<double> targets = m.positions();
  targets[2] += 10.0 * kDeg;
  const int32_t id = m.movej2(targets, kDeg, 20.0 * kDeg);
  for (int i = 0; i < 100; ++i) m.advance();
  EXPECT_EQ(m.taskState(id), TaskState::ST_Running);
  const double where = m.positions()[2];
  m.stop();
  for (int i = 0; i < 3000; ++i) m.advance();
  EXPECT_EQ(m.taskState(id), TaskState::ST_Stopped);
  EXPECT_EQ(m.positions()[2], where);
  EXPECT_EQ(m.targetSpeeds()[2], 0.0);
}

TEST(Tasks, ANewMoveInterruptsTheRunningOne) {
  RobotModel m;
  std::vector<double> targets = m.positions();
  targets[0] += 1.0 * kDeg;
  const int32_t first = m.movej2(targets, kDeg, 20.0 * kDeg);
  m.advance();
  targets[0] = m.positions()[0] - 1.0 * kDeg;
  const int32_t second = m.movej2(targets, kDeg, 20.0 * kDeg);
  EXPECT_EQ(m.taskState(first), TaskState::ST_Interrupt);
  EXPECT_EQ(m.taskState(second), TaskState::ST_Running);
}

// A pause of motion: the running task reports 2 and the arm holds still for its span, then the
// move goes on where it stood and ends later by the pause.
TEST(Tasks, APauseHoldsTheMoveAndDelaysItsEnd) {
  RobotModel m;
  const double start = m.positions()[3];
  m.pauseMotionAt(1.0, 2.0);
  const MoveResult unpaused = [] {
    RobotModel plain;
    return runMove(plain, 3, 2.0 * kDeg, kDeg);
  }();
  std::vector<double> targets = m.positions();
  targets[3] += 2.0 * kDeg;
  const int32_t id = m.movej2(targets, kDeg, 20.0 * kDeg);
  int ticks = 0;
  int paused = 0;
  double held = 0.0;
  for (; ticks < 10000; ++ticks) {
    m.advance();
    const int32_t state = m.taskState(id);
    if (state == TaskState::ST_Paused) {
      if (paused == 0) held = m.positions()[3];
      ++paused;
      EXPECT_EQ(m.positions()[3], held);
      EXPECT_EQ(m.targetSpeeds()[3], 0.0);
      EXPECT_NEAR(m.velocityError(3), 0.0, 0.05);  // noise only
    } else if (state != TaskState::ST_Running) {
      EXPECT_EQ(state, TaskState::ST_Finished);
      break;
    }
  }
  EXPECT_EQ(paused, 500);
  EXPECT_NEAR(held, start + 1.0 * kDeg, 0.05 * kDeg);  // after 1 s at 1 deg/s
  EXPECT_EQ(ticks + 1, unpaused.ticks + paused);
  EXPECT_NEAR(m.positions()[3], start + 2.0 * kDeg, 1e-12);
  EXPECT_EQ(m.overlappingMoves(), 0);
}

// Moves that arrive while another motion task is alive (running or paused) are counted; a move
// after the task has ended, or been stopped, is not.
TEST(Tasks, MovesOverALiveTaskAreCounted) {
  RobotModel m;
  std::vector<double> targets = m.positions();
  auto move = [&](double deg) {
    targets[0] += deg * kDeg;
    return m.movej2(targets, kDeg, 20.0 * kDeg);
  };
  const int32_t first = move(0.1);
  while (m.taskState(first) == TaskState::ST_Running) m.advance();
  move(0.1);  // after the first ended
  m.advance();
  move(0.1);  // over a running one
  EXPECT_EQ(m.overlappingMoves(), 1);
  m.pauseMotionAt(m.simTime() + 0.004, 1.0);
  m.advance();
  m.advance();
  move(0.1);  // over a paused one
  EXPECT_EQ(m.overlappingMoves(), 2);
  m.stop();
  move(0.1);  // after a stop
  EXPECT_EQ(m.overlappingMoves(), 2);
}

TEST(Tasks, InvalidMotionArgumentsGiveAnErrorTask) {
  RobotModel m;
  const std::vector<double> ok = m.positions();
  const std::vector<double> nan = {0, 0, NAN, 0, 0, 0};
  EXPECT_EQ(m.taskState(m.movej2({}, 0.01, 0.2)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.movej2({0.0, 0.0}, 0.01, 0.2)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.movej2(nan, 0.01, 0.2)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.movej2(ok, 0.0, 0.2)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.movej2(ok, 0.01, -1.0)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.setServoConfig(6, 43, 1)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.applyServoConfig(-1)), TaskState::ST_Error);
  EXPECT_EQ(m.setServoFileParam(7, 43, "VB_PARAM_1", 1.0), -1);
  EXPECT_TRUE(m.fileParams().empty());
}

TEST(Faults, TheNthMotionTaskOfAJointEndsInErrorWithoutMoving) {
  RobotModel m;
  m.failTask(4, TaskKind::Motion, 2);
  const double start = m.positions()[4];
  EXPECT_EQ(runMove(m, 4, 0.5 * kDeg, kDeg).final_state, TaskState::ST_Finished);
  const double after_first = m.positions()[4];
  const MoveResult failed = runMove(m, 4, 0.5 * kDeg, kDeg);
  EXPECT_EQ(failed.final_state, TaskState::ST_Error);
  EXPECT_EQ(failed.ticks, 1);
  EXPECT_EQ(m.positions()[4], after_first);
  EXPECT_EQ(runMove(m, 4, -0.5 * kDeg, kDeg).final_state, TaskState::ST_Finished);
  EXPECT_NEAR(m.positions()[4], start, 1e-12);
  EXPECT_EQ(m.taskCount(4, TaskKind::Motion), 3);
  EXPECT_EQ(m.taskCount(3, TaskKind::Motion), 0);  // joints that do not move do not count it
}

TEST(Faults, TheNthServoTaskOfAJointEndsInErrorAndChangesNothing) {
  RobotModel m;
  m.failTask(1, TaskKind::Servo, 2);
  EXPECT_EQ(m.taskState(m.setServoConfig(1, 43, 111)), TaskState::ST_Finished);
  EXPECT_EQ(m.taskState(m.setServoConfig(1, 45, 222)), TaskState::ST_Error);
  EXPECT_EQ(m.taskState(m.setServoConfig(0, 45, 333)), TaskState::ST_Finished);  // another joint
  EXPECT_EQ(m.taskState(m.applyServoConfig(1)), TaskState::ST_Finished);
  EXPECT_EQ(m.activeServoParam(1, 43), 111);
  EXPECT_EQ(m.activeServoParam(1, 45), std::nullopt);
  EXPECT_EQ(m.activeServoParam(0, 45), std::nullopt);  // set but not applied
  EXPECT_EQ(m.pendingServoParam(0, 45), 333);
}

TEST(Faults, TasksThatNeverFinishKeepReportingRunning) {
  RobotModel m;
  m.setTasksNeverFinish(true);
  const int32_t set = m.setServoConfig(0, 43, 5);
  EXPECT_EQ(m.taskState(set), TaskState::ST_Running);
  EXPECT_EQ(m.pendingServoParam(0, 43), std::nullopt);
  std::vector<double> targets = m.positions();
  targets[0] += 0.1 * kDeg;
  const int32_t id = m.movej2(targets, kDeg, 20.0 * kDeg);
  for (int i = 0; i < 5000; ++i) m.advance();
  EXPECT_EQ(m.taskState(id), TaskState::ST_Running);
  EXPECT_NEAR(m.positions()[0], targets[0], 1e-12);  // the joint itself still arrives
  m.setTasksNeverFinish(false);
  EXPECT_EQ(m.taskState(m.setServoConfig(0, 43, 6)), TaskState::ST_Finished);
}

TEST(Faults, ServoTasksFinishAfterTheConfiguredNumberOfQueries) {
  RobotModel m;
  m.setServoTaskQueries(2);
  const int32_t id = m.setServoConfig(2, 26, 77);
  EXPECT_EQ(m.taskState(id), TaskState::ST_Running);
  EXPECT_EQ(m.taskState(id), TaskState::ST_Running);
  EXPECT_EQ(m.pendingServoParam(2, 26), std::nullopt);
  EXPECT_EQ(m.taskState(id), TaskState::ST_Finished);
  EXPECT_EQ(m.pendingServoParam(2, 26), 77);
  EXPECT_EQ(m.taskState(id), TaskState::ST_Finished);
}

TEST(Faults, RobotStateListsTakeEffectAtTheirSimulatedTime) {
  RobotModel m;
  m.setRobotStateAt(0.4, {4, 0});
  m.setRobotStateAt(0.8, {});
  m.advance();
  EXPECT_EQ(m.robotState(), (std::vector<int8_t>{6, 0, 5, 1}));
  while (m.ticks() < 99) m.advance();
  EXPECT_EQ(m.robotState(), (std::vector<int8_t>{6, 0, 5, 1}));
  m.advance();  // t = 0.4
  EXPECT_EQ(m.robotState(), (std::vector<int8_t>{4, 0}));
  while (m.ticks() < 200) m.advance();
  EXPECT_TRUE(m.robotState().empty());
}

TEST(MotorData, ListsFollowTheJointsAndTheConfiguredLength) {
  RobotModel m;
  const auto& joints = m.config().joints;
  ASSERT_EQ(m.polePairs().size(), 6u);
  for (int j = 0; j < kJoints; ++j) {
    EXPECT_EQ(m.polePairs()[j], joints[j].pole_pairs);
    EXPECT_EQ(m.statorSlots()[j], joints[j].stator_slots);
    EXPECT_EQ(m.axisRatios()[j], joints[j].gear_ratio);
  }
  m.setMotorDataLength(3);
  EXPECT_EQ(m.axisRatios(), (std::vector<int16_t>{joints[0].gear_ratio, joints[1].gear_ratio,
                                                  joints[2].gear_ratio}));
  m.setMotorDataLength(8);
  EXPECT_EQ(m.statorSlots().size(), 8u);
  EXPECT_EQ(m.statorSlots()[6], 0);
  m.setMotorDataLength(0);
  EXPECT_TRUE(m.polePairs().empty());
}

TEST(Defaults, JointsDifferFromEachOtherAndFromTheProgramsMotorDefaults) {
  const auto joints = defaultJoints();
  int differing = 0;
  for (int j = 0; j < kJoints; ++j) {
    const auto& a = joints[j];
    differing += a.pole_pairs != 8 || a.stator_slots != 18 || a.gear_ratio != 101;
    for (int k = j + 1; k < kJoints; ++k) {
      const auto& b = joints[k];
      EXPECT_FALSE(a.pole_pairs == b.pole_pairs && a.stator_slots == b.stator_slots &&
                   a.gear_ratio == b.gear_ratio);
    }
  }
  EXPECT_EQ(differing, kJoints);
}

TEST(ServoWord, EncodesAsTheTestWritesIt) {
  EXPECT_EQ(encodeServoWord(8, 1.2, 0.6), 12551u);
  EXPECT_EQ(encodeServoWord(18, 6.0, 2.1), 62353u);
  EXPECT_EQ(encodeServoWord(16, 0.0, 0.0), 15u);
  EXPECT_EQ(encodeServoWord(8, 0.0, 2.4), 1031u);
}

// The worst speed's truth: on the grid, each component's amplitude the largest there, the
// optimum words decode to the true phase and current.
TEST(Truth, WorstSpeedLiesOnTheGridAndWordsDecodeToTheOptimum) {
  RobotModel m;
  for (const JointTruth& t : m.groundTruth()) {
    const double steps = (t.worst_speed_deg_s - 0.5) / 0.1;
    EXPECT_NEAR(steps, std::round(steps), 1e-9);
    EXPECT_NEAR(t.worst_speed_rad_s, t.worst_speed_deg_s * kDeg, 1e-12);
    for (const ComponentTruth& c : t.components) {
      EXPECT_EQ(static_cast<int>(c.servo_word & 127u) + 1, c.order);
      EXPECT_NEAR(0.1 * (c.servo_word >> 10), c.optimum_phase, 1e-12);
      EXPECT_NEAR(0.3 * ((c.servo_word >> 7) & 7u), c.optimum_current, 1e-12);
    }
  }
}

// Velocity-error samples of the cruise part of one move of joint j at speed v (no ramps).
std::vector<double> cruiseSamples(RobotModel& m, int j, double v, size_t count) {
  std::vector<double> targets = m.positions();
  targets[j] += 10.0 * kDeg;
  m.movej2(targets, v, 20.0 * v);
  std::vector<double> out;
  while (out.size() < count) {
    m.advance();
    if (std::fabs(m.targetSpeeds()[j]) == v) {
      out.push_back((m.actualSpeeds()[j] - m.targetSpeeds()[j]) / kDeg);
    }
  }
  m.stop();
  return out;
}

// Spectrum of joint 5's 10 degree move at 1 deg/s (its worst speed): the three largest peaks are
// its components, at o * r * |w| / (2 pi), reading 0.27 of H * A (Hamming-windowed, one-sided).
TEST(Spectrum, ShowsTheDesignedComponentsAtTheDesignedFrequencies) {
  RobotModel m;
  const int j = 5;
  const JointTruth truth = m.groundTruth()[j];
  ASSERT_DOUBLE_EQ(truth.worst_speed_deg_s, 1.0);
  const testing::Spectrum s =
      testing::meanAmplitudeSpectrum(cruiseSamples(m, j, kDeg, 2048), kControlPeriod);
  std::vector<size_t> peaks = testing::localMaxima(s.amp);
  std::sort(peaks.begin(), peaks.end(), [&](size_t a, size_t b) { return s.amp[a] > s.amp[b]; });
  ASSERT_GE(peaks.size(), 3u);
  std::vector<size_t> top(peaks.begin(), peaks.begin() + 3);
  std::sort(top.begin(), top.end());
  for (int x = 0; x < 3; ++x) {
    const ComponentTruth& c = truth.components[x];
    const int16_t ratio = m.config().joints[j].gear_ratio;
    EXPECT_NEAR(c.frequency_hz, c.order * ratio * kDeg / (2.0 * kPi), 1e-12);
    EXPECT_EQ(top[x], static_cast<size_t>(std::lround(c.frequency_hz / s.bin_hz)));
    EXPECT_NEAR(s.amp[top[x]], 0.27 * c.amplitude_deg_s, 0.01 * c.amplitude_deg_s);
  }
  // Between the components the spectrum is the noise floor.
  const double floor = s.amp[(top[0] + top[1]) / 2 + 1];
  EXPECT_LT(floor, 0.01 * s.amp[top[0]]);
}

struct Compensation {
  int joint;
  int slot;
};

class CompensationAtTruth : public ::testing::TestWithParam<Compensation> {};

// The true phase and current in the slot's servo parameter remove at least 95% of the
// component; the same word with the phase half a turn off doubles it.
TEST_P(CompensationAtTruth, RemovesAtLeast95PercentOfTheComponent) {
  const auto [j, x] = GetParam();
  const int ids[3] = {43, 45, 26};
  auto amplitude = [&](std::optional<uint32_t> word) {
    RobotModel m;
    const ComponentTruth c = m.groundTruth()[j].components[x];
    if (word) {
      m.setServoConfig(j, ids[x], static_cast<int32_t>(*word));
      m.applyServoConfig(j);
    }
    const double v = m.groundTruth()[j].worst_speed_rad_s;
    return testing::amplitudeAt(
        testing::meanAmplitudeSpectrum(cruiseSamples(m, j, v, 1024), kControlPeriod),
        c.frequency_hz);
  };
  const ComponentTruth c = RobotModel().groundTruth()[j].components[x];
  const double bare = amplitude(std::nullopt);
  const double compensated = amplitude(c.servo_word);
  const double reversed = amplitude(
      encodeServoWord(c.order, std::fmod(c.optimum_phase + kPi, 2.0 * kPi), c.optimum_current));
  EXPECT_LT(compensated, 0.05 * bare);
  EXPECT_NEAR(reversed, 2.0 * bare, 0.1 * bare);
}

std::vector<Compensation> everyComponent() {
  std::vector<Compensation> out;
  for (int j = 0; j < kJoints; ++j) {
    for (int x = 0; x < 3; ++x) out.push_back({j, x});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(DefaultArm, CompensationAtTruth, ::testing::ValuesIn(everyComponent()));

struct WordCase {
  const char* name;
  std::vector<std::pair<int, int32_t>> writes;  // param id, word, applied in one go
  double expected_ratio;                        // component 0 of joint 0 against no compensation
};

class WordEffect : public ::testing::TestWithParam<WordCase> {};

// Joint 0's pole-pair component (order 4, p* 1.6, c* 0.9) under various words; the component's
// amplitude is compared with the uncompensated one, noise-free so the ratio is exact.
TEST_P(WordEffect, ActsOnlyOnTheOrderItNames) {
  const WordCase& w = GetParam();
  SimConfig config;
  config.noise_deg_s = 0.0;
  auto amplitude = [&](const std::vector<std::pair<int, int32_t>>& writes) {
    RobotModel m(config);
    for (const auto& [id, word] : writes) {
      m.setServoConfig(0, id, word);
      m.applyServoConfig(0);
    }
    const double f = m.groundTruth()[0].components[0].frequency_hz;
    return testing::amplitudeAt(
        testing::meanAmplitudeSpectrum(
            cruiseSamples(m, 0, m.groundTruth()[0].worst_speed_rad_s, 1024), kControlPeriod),
        f);
  };
  EXPECT_NEAR(amplitude(w.writes) / amplitude({}), w.expected_ratio, 0.02) << w.name;
}

const int32_t kTrue4 = static_cast<int32_t>(encodeServoWord(4, 1.6, 0.9));
const int32_t kHalf4 = static_cast<int32_t>(encodeServoWord(4, 1.6, 0.3));

INSTANTIATE_TEST_SUITE_P(
    Words, WordEffect,
    ::testing::Values(WordCase{"true word", {{43, kTrue4}}, 0.0},
                      WordCase{"a third of the current", {{43, kHalf4}}, 2.0 / 3.0},
                      WordCase{"in another parameter", {{26, kTrue4}}, 0.0},
                      WordCase{
                          "split over two parameters", {{43, kHalf4}, {45, kHalf4}}, 1.0 / 3.0},
                      WordCase{"an order the joint lacks",
                               {{43, static_cast<int32_t>(encodeServoWord(5, 1.6, 0.9))}},
                               1.0},
                      WordCase{"cleared by word 0", {{43, kTrue4}, {43, 0}}, 1.0},
                      WordCase{"another order's word",
                               {{43, static_cast<int32_t>(encodeServoWord(8, 1.6, 0.9))}},
                               1.0}),
    [](::testing::TestParamInfo<WordCase> const& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(Noise, IsSeededAndTheSameForTheSameSeed) {
  auto speeds = [](uint64_t seed) {
    SimConfig c;
    c.seed = seed;
    RobotModel m(c);
    std::vector<double> out;
    for (int i = 0; i < 50; ++i) {
      m.advance();
      out.push_back(m.actualSpeeds()[0]);
    }
    return out;
  };
  EXPECT_EQ(speeds(7), speeds(7));
  EXPECT_NE(speeds(7), speeds(8));
  const auto standing = speeds(7);
  double sum2 = 0.0;
  for (double s : standing) sum2 += s * s;
  EXPECT_GT(sum2, 0.0);
  EXPECT_LT(std::sqrt(sum2 / standing.size()) / kDeg, 5.0 * SimConfig().noise_deg_s);
}

}  // namespace
}  // namespace vb::sim
