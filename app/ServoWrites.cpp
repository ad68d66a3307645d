#include <cmath>
#include <cstdint>
#include <string>

#include "OvraCobot.h"
#include "TestMoves.h"
#include "VibrationTestHandler.h"

namespace vb {

namespace {

// Servo parameter ids of the three slots; the file parameters use the same ids.
constexpr int kSlotParam[3] = {43, 45, 26};
const std::string kFileParamName[3] = {"VB_PARAM_1", "VB_PARAM_2", "VB_PARAM_3"};

// A servo task finishes within a few cycles; one still not finished after 10 s of polls never will.
constexpr long kServoPollLimit = 2500;
constexpr double kServoPollSeconds = kServoPollLimit * kSamplePeriod;

char const* const kSlotTask[3] = {"the write of parameter 43", "the write of parameter 45",
                                  "the write of parameter 26"};

// An integer-valued field of the word, taken modulo 2^32 like the drive's 32-bit int.
std::uint32_t wordField(double scaled) {
  if (!std::isfinite(scaled)) {
    return 0;
  }
  const double rounded = std::round(scaled);                // halves away from zero
  const double wrapped = std::fmod(rounded, 4294967296.0);  // exact for whole numbers
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(wrapped));
}

// The machine's failure: one line on standard error; its next state, 999.
int failServoTask(char const* machine, unsigned char joint, int state, TaskFault fault) {
  MachineFailure failure;
  failure.set(state == 51 ? "the apply" : kSlotTask[state / 10 - 2], fault, kServoPollSeconds);
  reportFailure(failure, machine, joint);
  return 999;
}

// One poll of a servo task: the next state when it finished, 999 on a reported error, on a
// request that failed in the SDK and after the poll limit, else the same state.
int pollServoTask(OvraRPC::OvraCobot& cobot, PolledTask& task, int state, int next,
                  char const* machine, unsigned char joint) {
  switch (pollTask(cobot, task, PollKind::kServo)) {
    case TaskPoll::kFinished:
      return next;
    case TaskPoll::kFailed:
      return failServoTask(machine, joint, state, task.fault);
    case TaskPoll::kRunning:
    case TaskPoll::kWaiting:
      break;
  }
  return state;
}

// The servo write sequence shared by the set and the reset machine: slot writes in states 20, 30
// and 40 (each skipped when `write` is false), apply in 50, each polled in the state after it,
// then 60 and the finished state 99. State 0 (never reset) and 10 only move on.
int stepServoSequence(OvraRPC::OvraCobot& cobot, char const* machine, int& state, PolledTask& task,
                      bool& done, unsigned char joint, std::uint32_t const words[3],
                      bool const write[3]) {
  switch (state) {
    case 0:
      state = 10;
      break;
    case 10:
      state = 20;
      break;
    case 20:
    case 30:
    case 40: {
      const int slot = state / 10 - 2;
      if (!write[slot]) {
        state += 10;
        break;
      }
      task.start(
          cobot.set_servo_config(joint, kSlotParam[slot], static_cast<int>(words[slot]), 0, false),
          kServoPollLimit);
      state += 1;
      break;
    }
    case 21:
    case 31:
    case 41:
    case 51:
      state = pollServoTask(cobot, task, state, state + 9, machine, joint);
      break;
    case 50:
      task.start(cobot.apply_servo_config(joint, false), kServoPollLimit);
      state = 51;
      break;
    case 60:
      state = 99;
      break;
    case 99:
      done = true;
      break;
    case 999:
      return -1;
    default:
      break;
  }
  return 0;
}

void writeFileParams(OvraRPC::OvraCobot& cobot, unsigned char joint, double const values[3]) {
  for (int slot = 0; slot < 3; ++slot) {
    cobot.set_servo_file_params(joint, kSlotParam[slot], kFileParamName[slot], values[slot], 0.0);
  }
}

// The file write machine shared by the set and the reset machine: one period writes all three.
void stepFileSequence(OvraRPC::OvraCobot& cobot, int& state, bool& done, unsigned char joint,
                      double const values[3]) {
  switch (state) {
    case 0:
      state = 1;
      break;
    case 1:
      writeFileParams(cobot, joint, values);
      state = 99;
      break;
    case 99:
      done = true;
      break;
    default:
      break;
  }
}

}  // namespace

unsigned int servoWord(unsigned int order, double phase, double current) {
  const std::uint32_t p = wordField(phase / 0.1);
  const std::uint32_t c = wordField(current / 0.3);
  return p * 1024u + c * 128u + (static_cast<std::uint32_t>(order) - 1u);
}

int VibrationTestHandler::setPhaseAndCurrent(bool const& start, bool& done,
                                             unsigned char const& joint, unsigned int const& order1,
                                             double const& phase1, double const& current1,
                                             unsigned int const& order2, double const& phase2,
                                             double const& current2, unsigned int const& order3,
                                             double const& phase3, double const& current3) {
  static int state = 0;
  static PolledTask task;  // the last set or apply request
  if (!start) {
    done = false;
    state = 10;
    return 0;
  }
  // A slot is written only for an order of its own: none, or one an earlier slot carries, skips.
  const bool write[3] = {order1 != 0, order2 != 0 && order2 != order1,
                         order3 != 0 && order3 != order1 && order3 != order2};
  const std::uint32_t words[3] = {servoWord(order1, phase1, current1),
                                  servoWord(order2, phase2, current2),
                                  servoWord(order3, phase3, current3)};
  return stepServoSequence(*cobot, "setPhaseAndCurrent", state, task, done, joint, words, write);
}

int VibrationTestHandler::resetPhaseAndCurrent(bool const& start, bool& done,
                                               unsigned char const& joint) {
  static int state = 0;
  static PolledTask task;  // the last set or apply request
  if (!start) {
    done = false;
    state = 10;
    return 0;
  }
  const std::uint32_t words[3] = {0, 0, 0};
  const bool write[3] = {true, true, true};
  return stepServoSequence(*cobot, "resetPhaseAndCurrent", state, task, done, joint, words, write);
}

void VibrationTestHandler::setParamToControllerFile(bool const& start, bool& done,
                                                    unsigned char const& joint,
                                                    double const& value1, double const& value2,
                                                    double const& value3) {
  static int state = 0;
  if (!start) {
    done = false;
    state = 1;
    return;
  }
  const double values[3] = {value1, value2, value3};
  stepFileSequence(*cobot, state, done, joint, values);
}

void VibrationTestHandler::resetParamToControllerFile(bool const& start, bool& done,
                                                      unsigned char const& joint) {
  static int state = 0;
  if (!start) {
    done = false;
    state = 1;
    return;
  }
  const double values[3] = {0.0, 0.0, 0.0};
  stepFileSequence(*cobot, state, done, joint, values);
}

}  // namespace vb
