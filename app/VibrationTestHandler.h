// The vibration test component: one periodic task that runs the whole identification.
//
// Life cycle (toolkit task states): constructed PreOperational; configure() runs init() on the
// calling thread (connects to the controller and reads the joint motor data, always succeeds);
// start() hands the component to its activity, which calls updateHook() once per 4 ms period.
//
// Each control cycle reads the robot state, runs one step of the test logic while the robot is
// runnable (vibrationTest), stops the robot once when it stops being runnable, and publishes the
// test state and the per-joint results into vb::GlobalValue. Without a connection it tries to
// open one once a second; a connection opened so reads the motor data as init() does, until one
// read has succeeded. A cycle without a robot state stops a running test only.
//
// Output: every line goes through ControlOutput (non-blocking while its writer runs).
//
// Test state (test_state): 0 idle (with the start command: identification reset running),
// 1 running (the stages of test_joint are stepped), 2 finished.
//
// Step machines. Every test procedure below is a resumable machine stepped once per cycle by its
// driver: a call with start false resets it (and clears its done flag); a call with start true
// does the work of its current state and may move it on. States are numbered in tens, 99 is
// finished (reported through the done flag or a per-joint flag on every call) and 999 failed
// (left only by a reset). Each machine keeps its state in statics of its function, so one instance
// of each exists per process, shared by all joints and all callers. A task that cannot be
// started or outlasts a generous bound counts as a task error (a move is then stopped, and the
// time it is reported paused does not count); a machine that fails prints one line on standard
// error, and a failed stage ends the test (command and test state 0, results kept).
//
// Threads: everything runs on the control thread except init(), which runs on the configuring
// thread before start(). The exchange with the web thread goes only through vb::GlobalValue and
// follows its rules (see Global.h): commands are atomics, the tables are copied in and out under
// a try_lock, and nothing here ever waits for the web thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <rtt/TaskContext.hpp>
#include <string>
#include <vector>

#include "TestSchedule.h"

namespace OvraRPC {
class OvraCobot;
}

namespace vb {

// Controller address for a client created late by connectToOvraCore.
extern std::string ip;

// The servo word that packs a compensation phase, a compensation current and a motor order:
// round(phase / 0.1) * 1024 + round(current / 0.3) * 128 + (order - 1), modulo 2^32, halves
// rounded away from zero. Real-time safe.
unsigned int servoWord(unsigned int order, double phase, double current);

class VibrationTestHandler : public RTT::TaskContext {
 public:
  // The component for the controller at 127.0.0.1, port 7003. Connects nothing.
  explicit VibrationTestHandler(std::string name);
  // The same for another controller address and port (simulated controllers on any port).
  VibrationTestHandler(std::string name, std::string const& address, unsigned port);
  ~VibrationTestHandler() override;

  // Runs init(); true whatever it found, so the component can always be started.
  bool configureHook() override;
  // One control cycle. Real-time path: no exceptions, no waiting for the web thread.
  void updateHook() override;

  // The identification reset: clears the results of all joints, resets the traversal and the
  // servo machines and writes zero compensation to joints 0..5 in turn.
  virtual void resetId(bool const& start, bool& done);
  virtual void velocityTraversal(bool const& start, unsigned char const& joint,
                                 double const& travel, double const& speed_start,
                                 double const& speed_max, double const& speed_step);
  virtual void vibrationPhaseId(bool const& start, unsigned char const& joint, double const& travel,
                                double const& current, double const& phase_start,
                                double const& phase_max, double const& phase_step);
  virtual void vibrationCurrentId(bool const& start, unsigned char const& joint,
                                  double const& travel, double const& current_start,
                                  double const& current_max, double const& current_step);
  // The test logic of one cycle: activation requests, identification reset, stages.
  virtual void vibrationTest();
  virtual void velocityErrorAnalysis(std::vector<double> const& samples, double const& dt,
                                     std::vector<double>& freq, std::vector<double>& amp,
                                     std::vector<unsigned int>& peaks);
  virtual void velocityErrorAnalysisSpecific(std::vector<double> const& samples, double const& dt,
                                             double const& freq1, double& amp1, double const& freq2,
                                             double& amp2, double const& freq3, double& amp3);
  // Writes and applies a joint's servo words (parameters 43, 45, 26); -1 once failed, else 0.
  virtual int setPhaseAndCurrent(bool const& start, bool& done, unsigned char const& joint,
                                 unsigned int const& order1, double const& phase1,
                                 double const& current1, unsigned int const& order2,
                                 double const& phase2, double const& current2,
                                 unsigned int const& order3, double const& phase3,
                                 double const& current3);
  // Writes and applies zeros to a joint's three servo parameters; -1 once failed, else 0.
  virtual int resetPhaseAndCurrent(bool const& start, bool& done, unsigned char const& joint);
  virtual void verifyIdResult(bool const& start, unsigned char const& joint, double const& travel);
  // Writes a joint's three controller file parameters "VB_PARAM_1..3".
  virtual void setParamToControllerFile(bool const& start, bool& done, unsigned char const& joint,
                                        double const& value1, double const& value2,
                                        double const& value3);
  // Writes 0.0 to a joint's three controller file parameters.
  virtual void resetParamToControllerFile(bool const& start, bool& done,
                                          unsigned char const& joint);

  // Opens the connection and reads the joint motor data into vb::GlobalValue. Not real-time.
  void init();
  // Opens the connection; true when it is not open afterwards.
  bool connectToOvraCore();
  // Closes an open connection; always 0.
  int disconnectFromOvraCore();
  // The first step of a control cycle: robot state and test command.
  void inputUpdate();
  // The last step of a control cycle: publishing into vb::GlobalValue.
  void outputSend();

  static constexpr int kJoints = 6;

  bool connected = false;
  OvraRPC::OvraCobot* cobot = nullptr;  // the one robot connection; never deleted
  // The entries of robot_state, in the order of the controller's robot-state list, and the
  // generated codes each one takes.
  static constexpr int kRobotStateEntry = 0;     // StateRobot
  static constexpr int kProgramStateEntry = 1;   // StateProgram
  static constexpr int kSafetyStateEntry = 2;    // SafetyState
  static constexpr int kOperationModeEntry = 3;  // OperationMode
  static constexpr int kRobotStateEntries = 4;
  int robot_state[kRobotStateEntries] = {};
  int test_state = 0;
  int test_cmd = 0;
  std::vector<double> start_joints;
  unsigned int test_joint = 0;
  double max_vib_target_vel[kJoints] = {};
  double first_freq[kJoints] = {};
  double first_order[kJoints] = {};
  unsigned int first_feat_order[kJoints] = {999, 999, 999, 999, 999, 999};
  double first_freq_vib_amp[kJoints] = {};
  double second_freq[kJoints] = {};
  double second_order[kJoints] = {};
  unsigned int second_feat_order[kJoints] = {999, 999, 999, 999, 999, 999};
  double second_freq_vib_amp[kJoints] = {};
  double third_freq[kJoints] = {};
  double third_order[kJoints] = {};
  unsigned int third_feat_order[kJoints] = {999, 999, 999, 999, 999, 999};
  double third_freq_vib_amp[kJoints] = {};
  bool trav_done[kJoints] = {};
  double first_optimum_phase[kJoints] = {};
  double second_optimum_phase[kJoints] = {};
  double third_optimum_phase[kJoints] = {};
  bool phase_done[kJoints] = {};
  double first_optimum_current[kJoints] = {};
  double second_optimum_current[kJoints] = {};
  double third_optimum_current[kJoints] = {};
  bool current_done[kJoints] = {};
  double first_optimum_amp[kJoints] = {};
  double second_optimum_amp[kJoints] = {};
  double third_optimum_amp[kJoints] = {};
  unsigned int first_servo_param[kJoints] = {};
  unsigned int second_servo_param[kJoints] = {};
  unsigned int third_servo_param[kJoints] = {};
  bool verified[kJoints] = {};
  bool activated[kJoints] = {};
  std::recursive_mutex cobot_mutex;

  // Set by a stage called with start true while it is in its failure state (999), after it has
  // reported the failure; the dispatcher then ends the test as a stop command would.
  bool stage_failed = false;

  // This cycle's copies of the shared motor data, taken at the start of the cycle when the table
  // lock is free (else the previous cycle's copies stand). The stages read these instead of
  // vb::GlobalValue. axis_ratio_count is how many entries the shared list had (at most six).
  short axis_ratio[kJoints] = {101, 101, 101, 101, 101, 101};
  unsigned int axis_ratio_count = kJoints;
  unsigned int feat_freq_order[kJoints][3] = {};

  // Cycles between two connection attempts from the control thread: one second.
  static constexpr int kReconnectCycles = 250;

 private:
  // The stored motor data of the six joints, as printed after they are stored.
  struct MotorData {
    short pole_pairs[kJoints];
    short stator_slots[kJoints];
    short ratios[kJoints];
  };

  // Reads the three motor-data lists into received_* and marks them pending.
  void requestMotorData();
  // With GlobalValue::table_mutex held: stores the pending lists into the shared motor data and
  // vb_feat_freq_order (first six entries, missing ones keep their values), takes the cycle's
  // copies and fills `stored` for printing.
  void storeMotorDataLocked(MotorData& stored);
  // The three motor-data lines; never with the table lock held.
  static void printMotorDataLines(MotorData const& stored);

  bool readRobotState();
  void copyInSharedTables();
  bool publish();
  void reconnectIfDue(bool state_request_failed);
  void activationLoop();
  void releaseActivation(bool complete);
  void failActivation();
  void resetFileMachines(unsigned char const& joint);
  void activationStep(int joint);
  void stepStages();
  void endFailedTest();

  std::vector<signed char> state_list_;  // reused: no allocation per cycle
  bool state_request_failed_ = false;    // the last robot-state request returned nothing
  int cycles_to_reconnect_ = kReconnectCycles;
  int activation_joint_ = -1;       // joint holding the servo and file machines, -1 none
  bool activation_writes_ = false;  // that joint's sequence writes its words (else zeros)
  // The controller's motor-data lists of the last request (empty where it failed), and whether
  // they still wait to be stored into vb::GlobalValue.
  std::vector<short> received_pole_pairs_;
  std::vector<short> received_stator_slots_;
  std::vector<short> received_ratios_;
  bool motor_data_pending_ = false;
  bool motor_data_read_ = false;  // one request has delivered all three lists

  // ---- Private members added for the test stages (moves, traversal, scans, spectra) ----
};

}  // namespace vb
