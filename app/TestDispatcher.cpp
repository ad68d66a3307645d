#include <atomic>

#include "Global.h"
#include "OvraCobot.h"
#include "VibrationTestHandler.h"

namespace vb {

namespace {

bool validTestMode(int mode) {
  return (mode >= 0 && mode < VibrationTestHandler::kJoints) || mode == kAllJointsMode;
}

}  // namespace

void VibrationTestHandler::vibrationTest() {
  if (test_cmd == 0) {
    test_state = 0;
    activationLoop();
  } else if (test_state == 0 || test_state == 2) {
    activationLoop();
  } else {
    // A test is running: requests made meanwhile are withdrawn. (The identification reset has
    // already released any joint being served and reset the machines.)
    activation_joint_ = -1;
    for (int i = 0; i < kJoints; ++i) {
      GlobalValue::vb_activate_param[i].store(activated[i], std::memory_order_relaxed);
    }
  }

  switch (test_state) {
    case 0: {
      const int mode = GlobalValue::vb_test_mode.load(std::memory_order_relaxed);
      if (!validTestMode(mode)) {
        break;  // never let a bad mode address the joint tables
      }
      test_joint = mode == kAllJointsMode ? 0u : static_cast<unsigned int>(mode);
      if (test_cmd == 1) {
        if (robot_state[kProgramStateEntry] != StateProgram::SP_Stopped) {
          cobot->stop(false);
        }
        bool done = false;
        resetId(true, done);
        if (done) {
          resetId(false, done);
          test_state = 1;
          stage_failed = false;
        }
      }
      break;
    }
    case 1:
      stepStages();
      break;
    default:
      break;
  }
}

void VibrationTestHandler::stepStages() {
  if (test_joint >= static_cast<unsigned int>(kJoints)) {
    return;
  }
  const unsigned char j = static_cast<unsigned char>(test_joint);
  if (trav_done[j] && phase_done[j] && current_done[j] && verified[j]) {
    if (GlobalValue::vb_test_mode.load(std::memory_order_relaxed) == kAllJointsMode) {
      ++test_joint;
      if (test_joint >= static_cast<unsigned int>(kJoints)) {
        test_state = 2;
      }
    } else {
      test_state = 2;
    }
    return;
  }
  // The first unfinished stage runs; the others are held reset.
  const int active = !trav_done[j] ? 0 : !phase_done[j] ? 1 : !current_done[j] ? 2 : 3;
  const bool run_traversal = active == 0;
  const bool run_phase = active == 1;
  const bool run_current = active == 2;
  const bool run_verification = active == 3;
  velocityTraversal(run_traversal, j, kTravel, kSpeedStart, kSpeedMax, kSpeedStep);
  vibrationPhaseId(run_phase, j, kTravel, kPhaseScanCurrent, kPhaseStart, kPhaseMax, kPhaseStep);
  vibrationCurrentId(run_current, j, kTravel, kCurrentStart, kCurrentMax, kCurrentStep);
  verifyIdResult(run_verification, j, kTravel);
  if (stage_failed) endFailedTest();
}

// A stage that failed makes no further progress: the test ends as a stop command ends it, so the
// operator sees it idle and can start a new one. The results found so far stay.
void VibrationTestHandler::endFailedTest() {
  stage_failed = false;
  GlobalValue::vb_test_cmd.store(0, std::memory_order_relaxed);
  test_cmd = 0;
  test_state = 0;
}

// Serves the operator's activation requests one joint at a time: the joint that starts a write
// sequence keeps the shared servo and file machines until its sequence ends, so each joint's
// drive and file really hold its own words (or zeros). Pending joints follow in joint order.
void VibrationTestHandler::activationLoop() {
  for (int i = 0; i < kJoints; ++i) {
    std::atomic<bool>& request = GlobalValue::vb_activate_param[i];
    if (!verified[i]) {
      request.store(activated[i], std::memory_order_relaxed);  // nothing to activate
      if (activation_joint_ == i) {
        releaseActivation(false);
      }
      continue;
    }
    if (request.load(std::memory_order_relaxed) == activated[i]) {
      if (activation_joint_ == i) {
        releaseActivation(false);  // withdrawn half-way
      }
      continue;
    }
    if (activation_joint_ >= 0 && activation_joint_ != i) {
      continue;  // waits for the joint being served
    }
    activationStep(i);
  }
}

void VibrationTestHandler::activationStep(int i) {
  const unsigned char joint = static_cast<unsigned char>(i);
  const bool writes = !activated[i];  // activation writes the words, deactivation zeros
  activation_joint_ = i;
  activation_writes_ = writes;
  const double word1 = first_servo_param[i];
  const double word2 = second_servo_param[i];
  const double word3 = third_servo_param[i];
  auto servo = [&](bool start, bool& done) {
    if (!writes) {
      return resetPhaseAndCurrent(start, done, joint);
    }
    return setPhaseAndCurrent(
        start, done, joint, first_feat_order[i], first_optimum_phase[i], first_optimum_current[i],
        second_feat_order[i], second_optimum_phase[i], second_optimum_current[i],
        third_feat_order[i], third_optimum_phase[i], third_optimum_current[i]);
  };
  auto file = [&](bool start, bool& done) {
    if (writes) {
      setParamToControllerFile(start, done, joint, word1, word2, word3);
    } else {
      resetParamToControllerFile(start, done, joint);
    }
  };

  bool done = false;
  if (servo(true, done) != 0) {
    // Refused after a servo task error.
    GlobalValue::vb_activate_param[i].store(activated[i], std::memory_order_relaxed);
    failActivation();
    return;
  }
  if (!done) {
    return;
  }
  servo(false, done);
  // The file machine moves once per completed servo sequence, so the servo words are written
  // again while it finishes.
  bool file_done = false;
  file(true, file_done);
  if (file_done) {
    file(false, file_done);
    activated[i] = writes;
    releaseActivation(true);
  }
}

// Ends the service of the current joint. A sequence broken off half-way leaves the shared
// machines in the middle of it: reset the ones it used so that the next joint starts from the top.
void VibrationTestHandler::releaseActivation(bool complete) {
  const int joint = activation_joint_;
  activation_joint_ = -1;
  if (complete || joint < 0) {
    return;
  }
  const unsigned char j = static_cast<unsigned char>(joint);
  bool done = false;
  if (activation_writes_) {
    const unsigned int no_order = 0;
    const double zero = 0.0;
    setPhaseAndCurrent(false, done, j, no_order, zero, zero, no_order, zero, zero, no_order, zero,
                       zero);
  } else {
    resetPhaseAndCurrent(false, done, j);
  }
  resetFileMachines(j);
}

// After a servo task error only the file machines are reset: the failed servo machine keeps
// refusing until the next identification reset clears it.
void VibrationTestHandler::failActivation() {
  const unsigned char j = static_cast<unsigned char>(activation_joint_);
  activation_joint_ = -1;
  resetFileMachines(j);
}

void VibrationTestHandler::resetFileMachines(unsigned char const& joint) {
  bool done = false;
  const double zero = 0.0;
  setParamToControllerFile(false, done, joint, zero, zero, zero);
  resetParamToControllerFile(false, done, joint);
}

}  // namespace vb
