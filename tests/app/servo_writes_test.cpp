// Servo words, the servo write machines and the controller file machines, against the simulated
// controller's drive and parameter file.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

#include "TestSchedule.h"
#include "VibrationTestHandler.h"
#include "component_rig.h"
#include "sim/SimController.h"

namespace vb::test {
namespace {

struct WordCase {
  unsigned order;
  double phase;
  double current;
  unsigned word;
};

TEST(ServoWord, Examples) {
  const WordCase cases[] = {
      {8, 1.2, 0.6, 12551}, {18, 6.0, 2.1, 62353}, {16, 0.0, 0.0, 15},
      {8, 0.0, 2.4, 1031},  {8, 0.1, 0.0, 1031},   {1, 0.0, 0.0, 0},
      {128, 0.0, 0.0, 127}, {129, 0.0, 0.0, 128},  {8, 0.05, 0.15, 1159},  // halves away from 0
  };
  for (const WordCase& c : cases) {
    EXPECT_EQ(servoWord(c.order, c.phase, c.current), c.word)
        << c.order << " " << c.phase << " " << c.current;
  }
}

// The scans build their grids by repeated addition; every value of both grids, for every order
// the test can meet, packs as the controller decodes it.
TEST(ServoWord, ScanGridsMatchTheControllersEncoding) {
  int compared = 0;
  for (unsigned order : {1u, 8u, 9u, 16u, 18u, 24u, 128u}) {
    for (double phase = kPhaseStart; phase <= kPhaseMax; phase += kPhaseStep) {
      for (double current = kCurrentStart; current <= kCurrentMax; current += kCurrentStep) {
        const unsigned word = servoWord(order, phase, current);
        EXPECT_EQ(word, sim::encodeServoWord(static_cast<int>(order), phase, current));
        EXPECT_EQ(word & 127u, order - 1);
        EXPECT_LE((word >> 7) & 7u, 7u);
        ++compared;
      }
    }
  }
  EXPECT_EQ(compared, 7 * gridCount(kPhaseStart, kPhaseMax, kPhaseStep) *
                          gridCount(kCurrentStart, kCurrentMax, kCurrentStep));
  // 1.2 / 0.1 is a hair below 12: rounding, not truncation.
  EXPECT_EQ(servoWord(8, 1.2, 0.0) >> 10, 12u);
}

TEST(ServoWord, OutsideTheTestRangesTheFieldsStillAdd) {
  EXPECT_EQ(servoWord(8, 0.0, 2.7), 9u * 128u + 7u);  // carries into the phase field
  EXPECT_EQ(servoWord(200, 0.0, 0.0), 199u);          // carries into the current field
  EXPECT_EQ(servoWord(8, -0.1, 0.0), 7u - 1024u);     // modulo 2^32
  EXPECT_EQ(servoWord(0, 0.0, 0.0), 0xFFFFFFFFu);     // order 0 is never written
  // A field without a defined value packs as 0.
  EXPECT_EQ(servoWord(8, std::numeric_limits<double>::infinity(), 0.6), 263u);
  EXPECT_EQ(servoWord(8, 1.2, std::numeric_limits<double>::quiet_NaN()), 12295u);
}

std::vector<std::string> argsOf(sim::SimController const& sim, std::string const& method) {
  std::vector<std::string> out;
  for (auto const& call : sim.callsOf(method)) out.push_back(call.args);
  return out;
}

// Calls a machine until it reports done; the number of calls, or -1 after 100.
template <class Step>
int callsUntilDone(Step step) {
  for (int n = 1; n <= 100; ++n) {
    bool done = false;
    if (step(done) != 0) return -1;
    if (done) return n;
  }
  return -1;
}

struct OrdersCase {
  unsigned o1, o2, o3;
  std::vector<int> written;  // parameter ids, in order
  int calls;                 // calls with start true until done, after a reset
};

class SetPhaseAndCurrent : public testing::TestWithParam<OrdersCase> {};

TEST_P(SetPhaseAndCurrent, WritesEachOwnOrderThenApplies) {
  const OrdersCase& c = GetParam();
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  const unsigned char joint = 2;
  const double p1 = 1.2, c1 = 0.6, p2 = 3.4, c2 = 0.9, p3 = 6.0, c3 = 2.1;
  bool done = true;
  EXPECT_EQ(h.setPhaseAndCurrent(false, done, joint, c.o1, p1, c1, c.o2, p2, c2, c.o3, p3, c3), 0);
  EXPECT_FALSE(done);
  rig.sim.clearCalls();
  const int calls = callsUntilDone([&](bool& d) {
    return h.setPhaseAndCurrent(true, d, joint, c.o1, p1, c1, c.o2, p2, c2, c.o3, p3, c3);
  });
  EXPECT_EQ(calls, c.calls);

  const unsigned words[3] = {servoWord(c.o1, p1, c1), servoWord(c.o2, p2, c2),
                             servoWord(c.o3, p3, c3)};
  std::vector<std::string> want;
  for (int id : c.written) {
    const int slot = id == 43 ? 0 : id == 45 ? 1 : 2;
    want.push_back("2, " + std::to_string(id) + ", " + std::to_string(words[slot]) + ", 0, false");
    EXPECT_EQ(rig.sim.activeServoParam(2, id), static_cast<int32_t>(words[slot]));
  }
  EXPECT_EQ(argsOf(rig.sim, "set_servo_config"), want);
  EXPECT_EQ(argsOf(rig.sim, "apply_servo_config"), std::vector<std::string>{"2, false"});
  // Done is reported on every further call until the next reset.
  done = false;
  h.setPhaseAndCurrent(true, done, joint, c.o1, p1, c1, c.o2, p2, c2, c.o3, p3, c3);
  EXPECT_TRUE(done);
  EXPECT_EQ(rig.sim.callCount("set_servo_config"), c.written.size());
}

INSTANTIATE_TEST_SUITE_P(Orders, SetPhaseAndCurrent,
                         testing::Values(OrdersCase{8, 16, 18, {43, 45, 26}, 11},
                                         OrdersCase{9, 18, 18, {43, 45}, 10},
                                         OrdersCase{8, 8, 8, {43}, 9},
                                         OrdersCase{0, 16, 16, {45}, 9},
                                         OrdersCase{0, 0, 0, {}, 8}));

TEST(ResetPhaseAndCurrent, WritesZerosToAllThreeThenApplies) {
  sim::SimConfig config;
  config.servo_task_queries = 2;  // each task answers "running" twice before it finishes
  Rig rig(config);
  VibrationTestHandler& h = *rig.handler;
  const unsigned char joint = 5;
  bool done = false;
  h.resetPhaseAndCurrent(false, done, joint);
  rig.sim.clearCalls();
  const int calls = callsUntilDone([&](bool& d) { return h.resetPhaseAndCurrent(true, d, joint); });
  // 11 calls plus one more in each of the four polls.
  EXPECT_EQ(calls, 11 + 4);
  EXPECT_EQ(
      argsOf(rig.sim, "set_servo_config"),
      (std::vector<std::string>{"5, 43, 0, 0, false", "5, 45, 0, 0, false", "5, 26, 0, 0, false"}));
  // A poll that finds the task still running asks twice; one that finds it finished, once.
  EXPECT_EQ(rig.sim.callCount("get_noneblock_taskstate"), 4u * (2 + 1));
  for (int id : {43, 45, 26}) EXPECT_EQ(rig.sim.activeServoParam(5, id), 0);
}

// A servo task error: the machine stops writing, never reports done, and returns -1 from the call
// after the one that saw the error until it is reset.
struct FailCase {
  bool reset_machine;
  int failing_task;          // 1-based servo task of the sequence
  std::vector<int> written;  // set_servo_config ids sent
  unsigned applies;          // apply_servo_config sent
};

class ServoTaskError : public testing::TestWithParam<FailCase> {};

// One of the two servo machines of joint 1 (the set machine with orders 8, 16, 18, phase 2.0 and
// current 0.9), stepped by the test.
struct ServoMachineRig {
  bool reset_machine;
  Rig rig;

  int step(bool start, bool& done) {
    const unsigned char joint = 1;
    const unsigned o1 = 8, o2 = 16, o3 = 18;
    const double p = 2.0, cur = 0.9;
    VibrationTestHandler& h = *rig.handler;
    return reset_machine
               ? h.resetPhaseAndCurrent(start, done, joint)
               : h.setPhaseAndCurrent(start, done, joint, o1, p, cur, o2, p, cur, o3, p, cur);
  }
};

TEST_P(ServoTaskError, TakesTheFailureState) {
  const FailCase& c = GetParam();
  ServoMachineRig machine{c.reset_machine, Rig()};
  Rig& rig = machine.rig;
  auto step = [&](bool start, bool& done) { return machine.step(start, done); };
  bool done = false;
  step(false, done);
  rig.sim.clearCalls();
  rig.sim.failTask(1, sim::TaskKind::Servo,
                   rig.sim.taskCount(1, sim::TaskKind::Servo) + c.failing_task);
  std::vector<int> results;
  for (int i = 0; i < 20; ++i) {
    done = false;
    results.push_back(step(true, done));
    EXPECT_FALSE(done);
  }
  // The first -1 comes one call after the poll that saw the error; every later call returns -1.
  const int first_failed = 1 + 2 * c.failing_task + 1;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(results[i], i + 1 < first_failed ? 0 : -1) << "call " << i + 1;
  }
  std::vector<int> ids;
  for (auto const& call : rig.sim.callsOf("set_servo_config")) {
    ids.push_back(std::stoi(call.args.substr(call.args.find(", ") + 2)));
  }
  EXPECT_EQ(ids, c.written);
  EXPECT_EQ(rig.sim.callCount("apply_servo_config"), c.applies);
  // A reset takes it out of the failure state.
  step(false, done);
  EXPECT_EQ(step(true, done), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Tasks, ServoTaskError,
    testing::Values(FailCase{false, 1, {43}, 0}, FailCase{false, 2, {43, 45}, 0},
                    FailCase{false, 4, {43, 45, 26}, 1}, FailCase{true, 1, {43}, 0},
                    FailCase{true, 3, {43, 45, 26}, 0}, FailCase{true, 4, {43, 45, 26}, 1}));

// A request the SDK could not send (its error value as the task id) and a task that never
// finishes count as task errors too: the machine fails, says so once on standard error, and
// returns -1 from its next call on.
struct UnfinishedCase {
  const char* name;
  bool reset_machine;
  void (*fault)(sim::SimController&);
  int first_failed;  // the first call that returns -1, counted from the reset
  const char* line;
};

class ServoTaskUnfinished : public testing::TestWithParam<UnfinishedCase> {};

TEST_P(ServoTaskUnfinished, TakesTheFailureStateWithALine) {
  const UnfinishedCase& c = GetParam();
  ServoMachineRig machine{c.reset_machine, Rig()};
  Rig& rig = machine.rig;
  auto step = [&](bool start, bool& done) { return machine.step(start, done); };
  bool done = false;
  step(false, done);
  c.fault(rig.sim);
  testing::internal::CaptureStderr();
  int calls = 0;
  int result = 0;
  while (result == 0 && calls < 5000) {
    ++calls;
    result = step(true, done);
    EXPECT_FALSE(done);
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(step(true, done), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
  EXPECT_EQ(calls, c.first_failed);
  rig.sim.tasksNeverFinish(false);
  step(false, done);
  EXPECT_EQ(step(true, done), 0);
}

// After the reset: call 1 moves on, then a write and its polls per slot, then the apply. Servo
// tasks are given 2500 polls (10 s of cycles).
INSTANTIATE_TEST_SUITE_P(
    Tasks, ServoTaskUnfinished,
    testing::Values(
        UnfinishedCase{"WriteNotSent", false,
                       [](sim::SimController& sim) { sim.throwOnMethod("set_servo_config", 1); }, 4,
                       "setPhaseAndCurrent: joint 1 failed: the write of parameter 43 could not "
                       "be started\n"},
        UnfinishedCase{"ApplyNotSent", true,
                       [](sim::SimController& sim) { sim.throwOnMethod("apply_servo_config", 1); },
                       10,
                       "resetPhaseAndCurrent: joint 1 failed: the apply could not be started\n"},
        UnfinishedCase{"WriteNeverFinishes", false,
                       [](sim::SimController& sim) { sim.tasksNeverFinish(true); }, 2504,
                       "setPhaseAndCurrent: joint 1 failed: the write of parameter 43 did not "
                       "finish within 10 s\n"},
        UnfinishedCase{"ResetWriteNeverFinishes", true,
                       [](sim::SimController& sim) { sim.tasksNeverFinish(true); }, 2504,
                       "resetPhaseAndCurrent: joint 1 failed: the write of parameter 43 did not "
                       "finish within 10 s\n"}),
    [](testing::TestParamInfo<UnfinishedCase> const& info) {
      return std::string(info.param.name);
    });

using FileParams = std::map<sim::FileParamKey, double>;

FileParams fileParamsOf(int joint, double v1, double v2, double v3) {
  return {{{joint, 43, "VB_PARAM_1"}, v1},
          {{joint, 45, "VB_PARAM_2"}, v2},
          {{joint, 26, "VB_PARAM_3"}, v3}};
}

TEST(ControllerFile, FirstUseNeedsOneCallMoreThenWritesAllThreeInOneCall) {
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  const unsigned char joint = 4;
  const double w1 = 12551, w2 = 0, w3 = 62353;  // a slot without an order carries 0
  bool done = false;
  // Never reset since program start: the first call only moves on.
  h.setParamToControllerFile(true, done, joint, w1, w2, w3);
  EXPECT_FALSE(done);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 0u);
  h.setParamToControllerFile(true, done, joint, w1, w2, w3);
  EXPECT_FALSE(done);
  EXPECT_EQ(rig.sim.fileParams(), fileParamsOf(4, w1, w2, w3));
  h.setParamToControllerFile(true, done, joint, w1, w2, w3);
  EXPECT_TRUE(done);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 3u);

  // After a reset: the writes, then done. The reset machine writes zeros.
  h.resetParamToControllerFile(false, done, joint);
  EXPECT_FALSE(done);
  h.resetParamToControllerFile(true, done, joint);
  EXPECT_FALSE(done);
  EXPECT_EQ(rig.sim.fileParams(), fileParamsOf(4, 0, 0, 0));
  h.resetParamToControllerFile(true, done, joint);
  EXPECT_TRUE(done);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 6u);
  auto const calls = rig.sim.callsOf("set_servo_file_params");
  EXPECT_EQ(calls.front().args.substr(0, 22), "4, 43, \"VB_PARAM_1\", 1");
}

}  // namespace
}  // namespace vb::test
