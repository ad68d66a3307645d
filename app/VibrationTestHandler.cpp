#include "VibrationTestHandler.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "ControlOutput.h"
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

void printMotorData(char const* title, short const (&values)[VibrationTestHandler::kJoints]) {
  OutputLine line;
  line << title;
  for (short value : values) {
    line << value << " ";
  }
  line << '\n';
}

}  // namespace

VibrationTestHandler::VibrationTestHandler(std::string name)
    : VibrationTestHandler(std::move(name), "127.0.0.1", kControllerPort) {}

VibrationTestHandler::VibrationTestHandler(std::string name, std::string const& address,
                                           unsigned port)
    : RTT::TaskContext(name, PreOperational) {
  cobot = new OvraRPC::OvraCobot(address, port);
  state_list_.reserve(16);
  received_pole_pairs_.reserve(16);
  received_stator_slots_.reserve(16);
  received_ratios_.reserve(16);
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
    requestMotorData();
    MotorData stored{};
    {
      // Copy in and out under the lock; print only after it is released.
      std::lock_guard<std::mutex> lock(GlobalValue::table_mutex);
      storeMotorDataLocked(stored);
    }
    printMotorDataLines(stored);
  } catch (...) {
    OutputLine() << "thread error!" << '\n';
    disconnectFromOvraCore();
  }
}

void VibrationTestHandler::requestMotorData() {
  // Fresh lists: a failed request leaves them empty and the stored values stand.
  received_pole_pairs_.clear();
  received_stator_slots_.clear();
  received_ratios_.clear();
  cobot->get_motor_pole_pair_number(received_pole_pairs_);
  cobot->get_motor_stator_slots(received_stator_slots_);
  cobot->get_axis_ratio(received_ratios_);
  motor_data_pending_ = true;
  // A failed request leaves its list empty; an empty list stores nothing either way.
  motor_data_read_ =
      motor_data_read_ || (!received_pole_pairs_.empty() && !received_stator_slots_.empty() &&
                           !received_ratios_.empty());
}

void VibrationTestHandler::storeMotorDataLocked(MotorData& stored) {
  storeMotorData(GlobalValue::robot_motor_pole_pair, received_pole_pairs_, 8);
  storeMotorData(GlobalValue::robot_stator_slots, received_stator_slots_, 18);
  storeMotorData(GlobalValue::robot_axis_ratio, received_ratios_, 101);
  for (int i = 0; i < kJoints; ++i) {
    const short pp = GlobalValue::robot_motor_pole_pair[i];
    GlobalValue::vb_feat_freq_order[i][0] = static_cast<unsigned int>(pp);
    GlobalValue::vb_feat_freq_order[i][1] = static_cast<unsigned int>(2 * pp);
    GlobalValue::vb_feat_freq_order[i][2] =
        static_cast<unsigned int>(GlobalValue::robot_stator_slots[i]);
    stored.pole_pairs[i] = pp;
    stored.stator_slots[i] = GlobalValue::robot_stator_slots[i];
    stored.ratios[i] = GlobalValue::robot_axis_ratio[i];
    axis_ratio[i] = GlobalValue::robot_axis_ratio[i];
    std::copy_n(GlobalValue::vb_feat_freq_order[i], 3, feat_freq_order[i]);
  }
  axis_ratio_count = kJoints;
  motor_data_pending_ = false;
}

void VibrationTestHandler::printMotorDataLines(MotorData const& stored) {
  printMotorData("motor_pole_pair: ", stored.pole_pairs);
  printMotorData("stator_slots: ", stored.stator_slots);
  printMotorData("joint_ratio: ", stored.ratios);
}

bool VibrationTestHandler::connectToOvraCore() {
  if (cobot == nullptr) {
    cobot = new OvraRPC::OvraCobot(ip, kControllerPort);
  }
  // One record, so that nothing printed by another thread comes between the two messages.
  OutputLine line;
  try {
    const int r = cobot->open();
    if (r == 0) {
      connected = true;
      line << "connectToOvraCobot successed.";
    } else {
      line << "connectToOvraCobot failed.";
    }
  } catch (...) {
    line << "robot control init error" << '\n';
    if (connected) {
      cobot->close();
    }
  }
  line << "connectToOvraCobot end ." << '\n';
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
    OutputLine() << "disConnectFromOvraCobot end ." << '\n';
  } else {
    OutputLine() << "no need disConnectFromOvraCobot  ." << '\n';
  }
  return 0;
}

bool VibrationTestHandler::readRobotState() {
  state_list_.clear();
  cobot->get_robot_state(state_list_);
  state_request_failed_ = state_list_.empty();
  const std::size_t n = std::min<std::size_t>(state_list_.size(), kRobotStateEntries);
  for (std::size_t i = 0; i < n; ++i) {
    robot_state[i] = state_list_[i];
  }
  test_cmd = GlobalValue::vb_test_cmd.load(std::memory_order_relaxed);
  // A short list (a failed request) leaves no state to judge by: not runnable.
  return state_list_.size() >= kRobotStateEntries;
}

void VibrationTestHandler::inputUpdate() { readRobotState(); }

void VibrationTestHandler::copyInSharedTables() {
  MotorData stored{};
  bool stored_now = false;
  {
    std::unique_lock<std::mutex> lock(GlobalValue::table_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
      return;  // the web side holds it: keep last cycle's copies and any pending motor data
    }
    if (motor_data_pending_) {
      // Motor data read after a reconnection; the lock was busy until now, or free at once.
      try {
        storeMotorDataLocked(stored);
        stored_now = true;
      } catch (...) {
        // Only a shrunken shared vector can make the store allocate; take the data next cycle.
      }
    }
    const std::vector<short>& ratios = GlobalValue::robot_axis_ratio;
    axis_ratio_count = static_cast<unsigned int>(std::min<std::size_t>(ratios.size(), kJoints));
    std::copy_n(ratios.begin(), axis_ratio_count, axis_ratio);
    for (int i = 0; i < kJoints; ++i) {
      std::copy_n(GlobalValue::vb_feat_freq_order[i], 3, feat_freq_order[i]);
    }
  }
  if (stored_now) printMotorDataLines(stored);
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
  // A controller that comes only after the start may have other motors than the defaults: its
  // motor data are read until one read has succeeded. After that the shared motor data may hold
  // the operator's values (setJointParam), which a reconnection must not overwrite. They reach
  // vb::GlobalValue in copyInSharedTables, in this cycle or, while the web side holds the table
  // lock, in a later one.
  if (!connectToOvraCore() && !motor_data_read_) requestMotorData();
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

  const bool runnable = have_state && robot_state[kSafetyStateEntry] == SafetyState::SS_RUN &&
                        robot_state[kOperationModeEntry] == OperationMode::kAuto;
  if (runnable) {
    stop_robot = false;
    if (robot_state[kRobotStateEntry] <= StateRobot::SR_Login) {
      OutputLine() << "robot initialization!" << '\n';
    } else if (robot_state[kRobotStateEntry] == StateRobot::SR_PowerOff) {
      OutputLine() << "robot power off!" << '\n';
    } else if (robot_state[kRobotStateEntry] == StateRobot::SR_Disable ||
               robot_state[kRobotStateEntry] == StateRobot::SR_Enable) {
      vibrationTest();
    }
  } else if (!have_state && test_state != 1) {
    // No robot state (the controller is away or sent a short list) is no departure from the
    // runnable state: an idle or finished test stays as it is, with its results.
  } else if (!stop_robot) {
    cobot->stop(false);
    test_state = 0;
    stop_robot = true;
  }

  publish();
}

}  // namespace vb
