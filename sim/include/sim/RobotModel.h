#pragma once
// Physical model of the simulated six-joint arm: motion, velocity-error vibration, servo drive,
// non-blocking tasks and the servo parameter file. Not thread-safe; SimController locks it.
//
// Time. t = k * 0.004 s after k ticks; one tick per get_robot_state request (advance()).
//
// Motion. movej2(targets, v, a) starts a task with a fresh id. Each joint moves from its position
// x0 to its target x1 (d = |x1 - x0|) on a trapezoidal speed profile of cruise speed v and
// acceleration a: ramp time ta = v / a and duration T = d / v + v / a when d >= v^2 / a, else
// ta = sqrt(d / a), peak a * ta, T = 2 * ta. The target speed w(t) is the profile's slope and
// the position its integral. The task state is 1 while t < t0 + T for any moving joint, 4 from
// the first query at t >= t0 + T. stop() halts every joint where it stands and leaves the running
// task at 3. A 10 degree move at 1 deg/s with a = 20 * v lasts 10 s + 0.05 s. A new move leaves
// the running task at 5 (interrupted). During a pause of motion the running task reports 2 and
// every joint holds still (target speed 0, no motor angle); then the profile goes on from where
// it stood, so the move ends later by the pause. Unknown task ids report 0.
//
// Velocity error of joint j (deg/s), evaluated at every tick:
//   theta_j += r_j * |x_j(t) - x_j(t - dt)|                  motor angle, rad (coherent phase)
//   for each component c of j (order o, base amplitude A deg/s, true phase p*, gain g):
//     f_c = o * r_j * |w_j(t)| / (2 pi)                     Hz
//     Z_c = A * e^(i p*) - g * sum over active servo words naming order o of c_w * e^(i p_w)
//     e_c = H_j(f_c) * |Z_c| * sin(o * theta_j + arg Z_c)   while |w_j| > 0, else 0
//   e_j = sum of e_c + n_j,  n_j ~ N(0, sigma^2) seeded, drawn once per tick and joint
//   H_j(f) = 1 / sqrt((1 - x^2)^2 + (2 zeta x)^2), x = f / fn, fn = f_peak / sqrt(1 - 2 zeta^2)
//   so H peaks at f_peak with 1 / (2 zeta sqrt(1 - zeta^2)) (5.025 for zeta = 0.1).
// get_actual_joints_speed = w(t) + e * pi / 180 rad/s; get_target_joints_speed = w(t).
// The compensation that removes component c entirely is phase p* and current A / g.
//
// Servo drive. set_servo_config(axis, id, value) stores a pending word for parameter id;
// apply_servo_config(axis) makes all pending words of that joint active. Both are tasks that
// finish at once or after n queries; a failed task changes nothing. A word decodes as
// P = w >> 10, C = (w >> 7) & 7, order = (w & 127) + 1, phase p_w = 0.1 * P, current
// c_w = 0.3 * C. Each of the joint's parameters holds one word; a word naming an order the joint
// has no component of acts on nothing (word 0 names order 1, so it clears its parameter).
//
// A spectrum of the velocity error shows component c at f_c. With the test's Hamming-windowed,
// length-normalised 1024-point segments a sinusoid of amplitude E centred on a bin reads as
// 0.27 * E (0.54 coherent gain, one side of the two-sided spectrum). A record of an outward and a
// return move reads somewhat lower: the two ramps at the turn shift the phase by 2 pi f v / a.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "robot_types.h"  // TaskState: the task state codes the controller reports

namespace vb::sim {

inline constexpr int kJoints = 6;
inline constexpr double kControlPeriod = 0.004;
inline constexpr double kPi = 3.141592653589793;

enum class TaskKind { Motion, Servo };

struct VibrationComponent {
  int order = 0;           // motor order: pole pairs, twice pole pairs or stator slots
  double amplitude = 0.0;  // A, deg/s, before the structural resonance
  double phase = 0.0;      // p*, rad: the compensation phase that cancels it
  double gain = 1.0;       // g, deg/s of cancelled amplitude per unit of compensation current
};

struct JointConfig {
  int16_t pole_pairs = 8;
  int16_t stator_slots = 18;
  int16_t gear_ratio = 101;
  std::vector<VibrationComponent> components;
  double resonance_peak_hz = 5.0;  // frequency where H peaks
  double damping = 0.1;            // zeta of H
  double start_position = 0.0;     // rad
};

// The default arm. Every joint has its own worst speed, one of 0.7 .. 1.2 deg/s. There its order
// frequencies lie within 0.1 bin of bins of the test's 1024-point spectrum, 1 or 2 bins per order
// (a window of one order either side holds only the main lobe), and at the grid speed below they
// fall between bins, so each slot reads clearly larger at the worst speed than before it. Optimum
// phases lie on the 0.2 grid of the phase scan, optimum currents (0.9, 1.2, 1.5) on the 0.3 grid.
std::array<JointConfig, kJoints> defaultJoints();

// The arm for high-speed mode, whose traversal measures one speed, 2 deg/s, with no thresholds
// from earlier speeds: gear ratios 70..86 keep each order within two bins there, every joint's
// resonance sits at its stator-slot frequency at 2 deg/s (damping 0.3), and all components share
// one gain, so no side lobe or noise peak takes a slot. Optima as in the default arm.
std::array<JointConfig, kJoints> highSpeedJoints();

struct SimConfig {
  std::array<JointConfig, kJoints> joints = defaultJoints();
  double noise_deg_s = 0.005;       // sigma of the velocity-error noise
  uint64_t seed = 20240601;         // noise seed
  int motor_data_length = kJoints;  // entries of the three motor-data lists
  int servo_task_queries = 0;       // queries a servo task reports 1 before it finishes
  std::vector<int8_t> robot_state = {6, 0, 5, 1};  // enabled, stopped, safety run, auto
};

struct ComponentTruth {
  int order = 0;
  double frequency_hz = 0.0;     // at the worst speed
  double amplitude_deg_s = 0.0;  // H * A at the worst speed, uncompensated sinusoid amplitude
  double optimum_phase = 0.0;    // p* in [0, 2 pi)
  double optimum_current = 0.0;  // A / g
  uint32_t servo_word = 0;       // the word of that phase and current for this order
};

struct JointTruth {
  double worst_speed_deg_s = 0.0;  // the grid speed where max over components of H * A is largest
  double worst_speed_rad_s = 0.0;
  std::vector<ComponentTruth> components;  // in the joint's component order
};

// Ground truth of one joint over the test's speed grid 0.5, 0.6, ..., 2.0 deg/s.
JointTruth groundTruth(const JointConfig& joint);

// The word the test writes for a slot: round(p / 0.1) * 1024 + round(c / 0.3) * 128 + (o - 1).
uint32_t encodeServoWord(int order, double phase, double current);

struct ServoApply {
  int joint = 0;
  int param_id = 0;
  int32_t value = 0;
  double sim_time = 0.0;
};

using FileParamKey = std::tuple<int, int, std::string>;  // joint, id, name

class RobotModel {
 public:
  explicit RobotModel(SimConfig config = SimConfig());

  const SimConfig& config() const { return config_; }

  // One control period: clock, motion, motor angle, noise.
  void advance();
  std::vector<int8_t> robotState() const;

  int32_t movej2(const std::vector<double>& targets, double v, double a);
  int32_t stop();
  int32_t taskState(int32_t id);
  int32_t setServoConfig(int32_t axis, int32_t id, int32_t value);
  int32_t applyServoConfig(int32_t axis);
  int32_t setServoFileParam(int32_t axis, int32_t id, const std::string& name, double value);

  std::vector<double> positions() const;
  std::vector<double> targetSpeeds() const;  // rad/s
  std::vector<double> actualSpeeds() const;  // rad/s
  double velocityError(int joint) const;     // deg/s, this tick
  std::vector<int16_t> polePairs() const;
  std::vector<int16_t> statorSlots() const;
  std::vector<int16_t> axisRatios() const;

  // Faults.
  void setRobotStateAt(double sim_time, std::vector<int8_t> state);
  void failTask(int joint, TaskKind kind, int nth);  // nth task of that kind of joint: 1, 2, ...
  void setTasksNeverFinish(bool never) { never_finish_ = never; }
  void setServoTaskQueries(int queries) { config_.servo_task_queries = queries < 0 ? 0 : queries; }
  void setMotorDataLength(int length) { config_.motor_data_length = length < 0 ? 0 : length; }
  // From sim_time on, for `seconds`, motion tasks report 2 (paused) and the arm holds still.
  void pauseMotionAt(double sim_time, double seconds);

  // Observation.
  double simTime() const { return static_cast<double>(ticks_) * kControlPeriod; }
  uint64_t ticks() const { return ticks_; }
  int taskCount(int joint, TaskKind kind) const;
  // movej2 requests that arrived while another motion task was alive (running or paused).
  int overlappingMoves() const { return overlapping_moves_; }
  std::optional<int32_t> activeServoParam(int joint, int id) const;
  std::optional<int32_t> pendingServoParam(int joint, int id) const;
  const std::vector<ServoApply>& servoApplies() const { return applies_; }
  const std::map<FileParamKey, double>& fileParams() const { return file_params_; }
  std::array<JointTruth, kJoints> groundTruth() const;

 private:
  struct Profile {
    double x0 = 0.0, dir = 0.0, ta = 0.0, cruise = 0.0, peak = 0.0, accel = 0.0, total = 0.0;
    double t0 = 0.0;
    bool active = false;
  };
  struct Task {
    TaskKind kind = TaskKind::Servo;
    int32_t state = TaskState::ST_Running;
    bool never_finish = false;
    int queries_left = 0;
    double end_time = 0.0;  // motion tasks
    int joint = -1;         // servo tasks
    bool apply = false;     // servo tasks: apply, else set param_id to value
    int param_id = 0;
    int32_t value = 0;
  };
  struct JointState {
    Profile profile;
    double position = 0.0;
    double speed = 0.0;
    double motor_angle = 0.0;
    double noise = 0.0;
    std::map<int, int32_t> pending;
    std::map<int, int32_t> active;
    int motion_tasks = 0;
    int servo_tasks = 0;
  };

  bool countTask(int joint, TaskKind kind);  // counts it; true when it is to fail
  int32_t newServoTask(int joint, int param_id, int32_t value, bool apply);
  void finishServoTask(Task& task);
  void updateJoint(int joint, double t, bool held);
  bool motionPaused() const;
  bool motionAlive(const Task& task) const;

  SimConfig config_;
  std::array<JointState, kJoints> joints_;
  std::map<int32_t, Task> tasks_;
  int32_t next_task_id_ = 1;
  int32_t motion_task_ = 0;  // running motion task, 0 when none
  uint64_t ticks_ = 0;
  bool never_finish_ = false;
  std::map<double, double> pauses_;  // start sim time -> end sim time
  int overlapping_moves_ = 0;
  std::map<double, std::vector<int8_t>> robot_states_;
  std::map<std::pair<int, TaskKind>, std::vector<int>> failing_;
  std::vector<ServoApply> applies_;
  std::map<FileParamKey, double> file_params_;
  std::mt19937_64 rng_;
};

}  // namespace vb::sim
