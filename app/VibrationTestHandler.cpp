#include "VibrationTestHandler.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iostream>
#include <utility>

#include "Global.h"
#include "OvraCobot.h"

namespace vb {

std::string ip = "127.0.0.1";

namespace {

constexpr unsigned kControllerPort = 7003;

// Replaces the first entries of `stored` by the controller's list. Entries the controller did not
// send keep what they held (the defaults at start); entries past the sixth are not taken, so the
// vector always holds exactly six joints.
void storeMotorData(std::vector<short>& stored, std::vector<short> const& received,
                    short fallback) {
  stored.resize(VibrationTestHandler::kJoints, fallback);
  const std::size_t n = std::min<std::size_t>(received.size(), VibrationTestHandler::kJoints);
  std::copy_n(received.begin(), n, stored.begin());
}

void printMotorData(char const* title, std::vector<short> const& values) {
  std::cout << title;
  for (short value : values) {
    std::cout << value << " ";
  }
  std::cout << std::endl;
}

}  // namespace

VibrationTestHandler::VibrationTestHandler(std::string name)
    : VibrationTestHandler(std::move(name), "127.0.0.1", kControllerPort) {}

VibrationTestHandler::VibrationTestHandler(std::string name, std::string const& address,
                                           unsigned port)
    : RTT::TaskContext(name, PreOperational) {
  cobot = new OvraRPC::OvraCobot(address, port);
  state_list_.reserve(16);
  test_state = 0;
}

VibrationTestHandler::~VibrationTestHandler() {
  // The activity must not run a cycle on a half-destroyed component.
  stop();
  std::vector<double>().swap(start_joints);
}

bool VibrationTestHandler::configureHook() {
  init();
  return true;
}

void VibrationTestHandler::init() {
  try {
    connectToOvraCore();
    test_state = 0;

    // Fresh lists: a failed request leaves them empty and the stored values stand.
    std::vector<short> pole_pairs;
    std::vector<short> stator_slots;
    std::vector<short> ratios;
    cobot->get_motor_pole_pair_number(pole_pairs);
    cobot->get_motor_stator_slots(stator_slots);
    cobot->get_axis_ratio(ratios);

    std::vector<short> printed_pole_pairs;
    std::vector<short> printed_stator_slots;
    std::vector<short> printed_ratios;
    {
      // Copy in and out under the lock; print only after it is released.
      std::lock_guard<std::mutex> lock(GlobalValue::table_mutex);
      storeMotorData(GlobalValue::robot_motor_pole_pair, pole_pairs, 8);
      storeMotorData(GlobalValue::robot_stator_slots, stator_slots, 18);
      storeMotorData(GlobalValue::robot_axis_ratio, ratios, 101);
      for (int i = 0; i < kJoints; ++i) {
        const short pp = GlobalValue::robot_motor_pole_pair[i];
        GlobalValue::vb_feat_freq_order[i][0] = static_cast<unsigned int>(pp);
        GlobalValue::vb_feat_freq_order[i][1] = static_cast<unsigned int>(2 * pp);
        GlobalValue::vb_feat_freq_order[i][2] =
            static_cast<unsigned int>(GlobalValue::robot_stator_slots[i]);
      }
      printed_pole_pairs = GlobalValue::robot_motor_pole_pair;
      printed_stator_slots = GlobalValue::robot_stator_slots;
      printed_ratios = GlobalValue::robot_axis_ratio;
      for (int i = 0; i < kJoints; ++i) {
        axis_ratio[i] = GlobalValue::robot_axis_ratio[i];
        std::copy_n(GlobalValue::vb_feat_freq_order[i], 3, feat_freq_order[i]);
      }
      axis_ratio_count = kJoints;
    }
    printMotorData("motor_pole_pair: ", printed_pole_pairs);
    printMotorData("stator_slots: ", printed_stator_slots);
    printMotorData("joint_ratio: ", printed_ratios);
  } catch (...) {
    std::cout << "thread error!" << std::endl;
    disconnectFromOvraCore();
  }
}

bool VibrationTestHandler::connectToOvraCore() {
  if (cobot == nullptr) {
    cobot = new OvraRPC::OvraCobot(ip, kControllerPort);
  }
  try {
    const int r = cobot->open();
    if (r == 0) {
      connected = true;
      std::printf("connectToOvraCobot successed.");
    } else {
      std::printf("connectToOvraCobot failed.");
    }
  } catch (...) {
    std::cout << "robot control init error" << std::endl;
    if (connected) {
      cobot->close();
    }
  }
  std::cout << "connectToOvraCobot end ." << std::endl;
  cycles_to_reconnect_ = kReconnectCycles;
  return !connected;
}

int VibrationTestHandler::disconnectFromOvraCore() {
  if (connected) {
    std::lock_guard<std::recursive_mutex> lock(cobot_mutex);
    if (cobot != nullptr && connected) {
      cobot->close();
    }
    connected = false;
    std::cout << "disConnectFromOvraCobot end ." << std::endl;
  } else {
    std::cout << "no need disConnectFromOvraCobot  ." << std::endl;
  }
  return 0;
}

bool VibrationTestHandler::readRobotState() {
  state_list_.clear();
  cobot->get_robot_state(state_list_);
  state_request_failed_ = state_list_.empty();
  const std::size_t n = std::min<std::size_t>(state_list_.size(), 4);
  for (std::size_t i = 0; i < n; ++i) {
    robot_state[i] = state_list_[i];
  }
  test_cmd = GlobalValue::vb_test_cmd.load(std::memory_order_relaxed);
  // A short list (a failed request) leaves no state to judge by: not runnable.
  return state_list_.size() >= 4;
}

void VibrationTestHandler::inputUpdate() { readRobotState(); }

void VibrationTestHandler::copyInSharedTables() {
  std::unique_lock<std::mutex> lock(GlobalValue::table_mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    return;  // the web side holds it: keep last cycle's copies
  }
  const std::vector<short>& ratios = GlobalValue::robot_axis_ratio;
  axis_ratio_count = static_cast<unsigned int>(std::min<std::size_t>(ratios.size(), kJoints));
  std::copy_n(ratios.begin(), axis_ratio_count, axis_ratio);
  for (int i = 0; i < kJoints; ++i) {
    std::copy_n(GlobalValue::vb_feat_freq_order[i], 3, feat_freq_order[i]);
  }
}

void VibrationTestHandler::reconnectIfDue(bool state_request_failed) {
  if (cycles_to_reconnect_ > 0) {
    --cycles_to_reconnect_;
  }
  if ((connected && !state_request_failed) || cycles_to_reconnect_ > 0) {
    return;
  }
  if (connected) {
    // The connection broke: close it so that open() connects anew.
    std::lock_guard<std::recursive_mutex> lock(cobot_mutex);
    cobot->close();
    connected = false;
  }
  connectToOvraCore();
}

bool VibrationTestHandler::publish() {
  std::unique_lock<std::mutex> lock(GlobalValue::table_mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    return false;  // the web side holds it: publish in the next cycle
  }
  namespace G = GlobalValue;
  G::vb_test_state = test_state;
  for (int j = 0; j < kJoints; ++j) {
    G::vb_max_vib_target_vel[j] = max_vib_target_vel[j];
    G::vb_first_freq[j] = first_freq[j];
    G::vb_second_freq[j] = second_freq[j];
    G::vb_third_freq[j] = third_freq[j];
    G::vb_first_order[j] = static_cast<unsigned int>(first_order[j]);
    G::vb_second_order[j] = static_cast<unsigned int>(second_order[j]);
    G::vb_third_order[j] = static_cast<unsigned int>(third_order[j]);
    G::vb_first_feat_order[j] = first_feat_order[j];
    G::vb_second_feat_order[j] = second_feat_order[j];
    G::vb_third_feat_order[j] = third_feat_order[j];
    G::vb_first_freq_vib_amp[j] = first_freq_vib_amp[j];
    G::vb_second_freq_vib_amp[j] = second_freq_vib_amp[j];
    G::vb_third_freq_vib_amp[j] = third_freq_vib_amp[j];
    G::vb_first_optimum_phase[j] = first_optimum_phase[j];
    G::vb_second_optimum_phase[j] = second_optimum_phase[j];
    G::vb_third_optimum_phase[j] = third_optimum_phase[j];
    G::vb_first_optimum_current[j] = first_optimum_current[j];
    G::vb_second_optimum_current[j] = second_optimum_current[j];
    G::vb_third_optimum_current[j] = third_optimum_current[j];
    G::vb_first_optimum_amp[j] = first_optimum_amp[j];
    G::vb_second_optimum_amp[j] = second_optimum_amp[j];
    G::vb_third_optimum_amp[j] = third_optimum_amp[j];
    G::vb_first_servo_param[j] = first_servo_param[j];
    G::vb_second_servo_param[j] = second_servo_param[j];
    G::vb_third_servo_param[j] = third_servo_param[j];
  }
  return true;
}

void VibrationTestHandler::outputSend() { publish(); }

void VibrationTestHandler::updateHook() {
  static bool stop_robot = false;

  const bool have_state = readRobotState();
  reconnectIfDue(state_request_failed_);
  copyInSharedTables();

  const bool runnable = have_state && robot_state[2] == 5 && robot_state[3] == 1;
  if (runnable) {
    stop_robot = false;
    if (robot_state[0] <= 3) {
      std::cout << "robot initialization!" << std::endl;
    } else if (robot_state[0] == 4) {
      std::cout << "robot power off!" << std::endl;
    } else if (robot_state[0] == 5 || robot_state[0] == 6) {
      vibrationTest();
    }
  } else if (!stop_robot) {
    cobot->stop(false);
    test_state = 0;
    stop_robot = true;
  }

  publish();
}

}  // namespace vb
