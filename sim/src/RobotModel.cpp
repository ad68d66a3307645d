#include "sim/RobotModel.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace vb::sim {
namespace {

constexpr double kDegToRad = kPi / 180.0;
constexpr double kTimeEpsilon = 1e-9;

// Component of order o with true phase p and optimum current c, gain g: A = g * c. Gains are
// powers of two so that A / g gives the grid value back exactly.
VibrationComponent component(int order, double phase, double current, double gain) {
  return VibrationComponent{order, gain * current, phase, gain};
}

JointConfig joint(int16_t pole_pairs, int16_t slots, int16_t ratio, double worst_deg_s,
                  std::vector<VibrationComponent> components, double start_position) {
  JointConfig j;
  j.pole_pairs = pole_pairs;
  j.stator_slots = slots;
  j.gear_ratio = ratio;
  j.components = std::move(components);
  // The stator-slot component peaks at the worst speed; the lower orders are still below the
  // resonance there, so all three grow from the speeds before it.
  j.resonance_peak_hz = slots * ratio * worst_deg_s / 360.0;
  j.damping = 0.1;
  j.start_position = start_position;
  return j;
}

double resonance(const JointConfig& j, double f) {
  const double zeta = j.damping;
  const double shape = 1.0 - 2.0 * zeta * zeta;
  const double fn = shape > 0.0 ? j.resonance_peak_hz / std::sqrt(shape) : j.resonance_peak_hz;
  if (!(fn > 0.0)) return 1.0;
  const double x = f / fn;
  const double re = 1.0 - x * x;
  const double im = 2.0 * zeta * x;
  return 1.0 / std::sqrt(re * re + im * im);
}

double orderFrequency(const JointConfig& j, int order, double speed_rad_s) {
  return order * static_cast<double>(j.gear_ratio) * std::fabs(speed_rad_s) / (2.0 * kPi);
}

double wrapPhase(double p) {
  double w = std::fmod(p, 2.0 * kPi);
  if (w < 0.0) w += 2.0 * kPi;
  return w;
}

struct Word {
  int order;
  double phase;
  double current;
};

Word decode(int32_t value) {
  const auto w = static_cast<uint32_t>(value);
  return Word{static_cast<int>(w & 127u) + 1, 0.1 * static_cast<double>(w >> 10),
              0.3 * static_cast<double>((w >> 7) & 7u)};
}

}  // namespace

std::array<JointConfig, kJoints> defaultJoints() {
  // pole pairs, stator slots, gear ratio, worst speed (deg/s); components (order, p*, c*, g).
  return {
      joint(4, 15, 160, 1.1,
            {component(4, 1.6, 0.9, 0.25), component(8, 3.2, 1.2, 0.125),
             component(15, 4.4, 1.5, 0.25)},
            0.0),
      joint(6, 18, 110, 0.8,
            {component(6, 0.6, 1.5, 0.25), component(12, 2.8, 0.9, 0.125),
             component(18, 5.0, 1.2, 0.25)},
            -0.5),
      joint(3, 9, 195, 0.9,
            {component(3, 2.0, 1.2, 0.25), component(6, 3.6, 1.5, 0.0625),
             component(9, 0.4, 0.9, 0.25)},
            1.0),
      joint(4, 18, 147, 1.2,
            {component(4, 5.6, 1.5, 0.25), component(8, 1.0, 1.2, 0.125),
             component(18, 3.0, 0.9, 0.25)},
            0.0),
      joint(5, 15, 126, 0.7,
            {component(5, 4.8, 0.9, 0.25), component(10, 2.2, 1.5, 0.0625),
             component(15, 1.2, 1.2, 0.25)},
            1.5),
      joint(3, 12, 176, 1.0,
            {component(3, 5.2, 1.2, 0.25), component(6, 1.4, 0.9, 0.125),
             component(12, 3.8, 1.5, 0.25)},
            0.0),
  };
}

std::array<JointConfig, kJoints> highSpeedJoints() {
  std::array<JointConfig, kJoints> joints = defaultJoints();
  const int16_t ratios[kJoints] = {80, 72, 86, 76, 84, 70};
  for (int j = 0; j < kJoints; ++j) {
    JointConfig& joint = joints[j];
    joint.gear_ratio = ratios[j];
    joint.resonance_peak_hz = joint.stator_slots * joint.gear_ratio * 2.0 / 360.0;
    joint.damping = 0.3;
    for (VibrationComponent& c : joint.components) {
      const double optimum_current = c.amplitude / c.gain;
      c.gain = 0.25;
      c.amplitude = c.gain * optimum_current;
    }
  }
  return joints;
}

uint32_t encodeServoWord(int order, double phase, double current) {
  const int64_t p = std::lround(phase / 0.1);
  const int64_t c = std::lround(current / 0.3);
  return static_cast<uint32_t>(p * 1024 + c * 128 + (order - 1));
}

JointTruth groundTruth(const JointConfig& j) {
  // The test's grid, by repeated addition in rad/s as the traversal forms it.
  const double v_start = 0.5 * kDegToRad;
  const double v_step = 0.1 * kDegToRad;
  const double v_max = 2.0 * kDegToRad;
  JointTruth truth;
  double best = -1.0;
  int index = 0;
  for (double v = v_start; v <= v_max; v += v_step, ++index) {
    double worst = 0.0;
    for (const auto& c : j.components) {
      worst = std::max(worst, resonance(j, orderFrequency(j, c.order, v)) * c.amplitude);
    }
    if (worst > best) {
      best = worst;
      truth.worst_speed_rad_s = v;
      truth.worst_speed_deg_s = std::round((0.5 + 0.1 * index) * 10.0) / 10.0;
    }
  }
  for (const auto& c : j.components) {
    ComponentTruth t;
    t.order = c.order;
    t.frequency_hz = orderFrequency(j, c.order, truth.worst_speed_rad_s);
    t.amplitude_deg_s = resonance(j, t.frequency_hz) * c.amplitude;
    t.optimum_phase = wrapPhase(c.phase);
    t.optimum_current = c.gain != 0.0 ? c.amplitude / c.gain : 0.0;
    t.servo_word = encodeServoWord(c.order, t.optimum_phase, t.optimum_current);
    truth.components.push_back(t);
  }
  return truth;
}

RobotModel::RobotModel(SimConfig config) : config_(std::move(config)), rng_(config_.seed) {
  for (int j = 0; j < kJoints; ++j) {
    joints_[j].position = config_.joints[j].start_position;
  }
  robot_states_[-std::numeric_limits<double>::infinity()] = config_.robot_state;
}

void RobotModel::updateJoint(int j, double t, bool held) {
  JointState& s = joints_[j];
  Profile& p = s.profile;
  const double before = s.position;
  if (held) {
    p.t0 += kControlPeriod;  // the profile stands still with the clock
    s.speed = 0.0;
  } else if (p.active) {
    const double tau = t - p.t0;
    double dist = 0.0;
    double speed = 0.0;
    if (tau >= p.total) {
      dist = p.cruise;  // cruise holds the whole distance
      p.active = false;
    } else if (tau < p.ta) {
      dist = 0.5 * p.accel * tau * tau;
      speed = p.accel * tau;
    } else if (tau < p.total - p.ta) {
      dist = 0.5 * p.accel * p.ta * p.ta + p.peak * (tau - p.ta);
      speed = p.peak;
    } else {
      const double rest = p.total - tau;
      dist = p.cruise - 0.5 * p.accel * rest * rest;
      speed = p.accel * rest;
    }
    s.position = p.x0 + p.dir * dist;
    s.speed = p.dir * speed;
  } else {
    s.speed = 0.0;
  }
  s.motor_angle +=
      static_cast<double>(config_.joints[j].gear_ratio) * std::fabs(s.position - before);
  // Box-Muller on the generator's 53-bit uniforms, so the noise is the same on every platform.
  const double u1 = (static_cast<double>(rng_() >> 11) + 1.0) * 0x1.0p-53;
  const double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
  s.noise = config_.noise_deg_s * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

void RobotModel::advance() {
  ++ticks_;
  const double t = simTime();
  const bool held = motionPaused();
  if (held && motion_task_ != 0) tasks_[motion_task_].end_time += kControlPeriod;
  for (int j = 0; j < kJoints; ++j) updateJoint(j, t, held);
}

bool RobotModel::motionPaused() const {
  const double t = simTime() + kTimeEpsilon;
  auto it = pauses_.upper_bound(t);
  if (it == pauses_.begin()) return false;
  --it;
  return t < it->second;
}

bool RobotModel::motionAlive(const Task& task) const {
  return task.state == TaskState::ST_Running &&
         (task.never_finish || simTime() + kTimeEpsilon < task.end_time);
}

std::vector<int8_t> RobotModel::robotState() const {
  auto it = robot_states_.upper_bound(simTime() + kTimeEpsilon);
  --it;  // the -inf entry is always there
  return it->second;
}

bool RobotModel::countTask(int joint, TaskKind kind) {
  JointState& s = joints_[joint];
  const int n = kind == TaskKind::Motion ? ++s.motion_tasks : ++s.servo_tasks;
  auto it = failing_.find({joint, kind});
  return it != failing_.end() &&
         std::find(it->second.begin(), it->second.end(), n) != it->second.end();
}

int32_t RobotModel::movej2(const std::vector<double>& targets, double v, double a) {
  auto alive = tasks_.find(motion_task_);
  if (alive != tasks_.end() && motionAlive(alive->second)) ++overlapping_moves_;
  const int32_t id = next_task_id_++;
  Task task;
  task.kind = TaskKind::Motion;
  task.never_finish = never_finish_;
  const bool valid =
      targets.size() == static_cast<size_t>(kJoints) && std::isfinite(v) && std::isfinite(a) &&
      v > 0.0 && a > 0.0 &&
      std::all_of(targets.begin(), targets.end(), [](double x) { return std::isfinite(x); });
  if (!valid) {
    task.state = TaskState::ST_Error;
    tasks_[id] = task;
    return id;
  }
  const double t0 = simTime();
  bool fail = false;
  std::vector<int> moving;
  for (int j = 0; j < kJoints; ++j) {
    if (std::fabs(targets[j] - joints_[j].position) > 1e-12) {
      moving.push_back(j);
      fail = countTask(j, TaskKind::Motion) || fail;
    }
  }
  if (fail) {
    task.state = TaskState::ST_Error;
    tasks_[id] = task;
    return id;
  }
  if (motion_task_ != 0) {
    Task& old = tasks_[motion_task_];
    if (old.state == TaskState::ST_Running) old.state = TaskState::ST_Interrupt;
  }
  double end = t0;
  for (int j = 0; j < kJoints; ++j) {
    JointState& s = joints_[j];
    s.profile.active = false;
    s.speed = 0.0;
    if (std::find(moving.begin(), moving.end(), j) == moving.end()) continue;
    Profile& p = s.profile;
    const double d = std::fabs(targets[j] - s.position);
    p.x0 = s.position;
    p.dir = targets[j] > s.position ? 1.0 : -1.0;
    p.accel = a;
    p.t0 = t0;
    p.cruise = d;
    if (d >= v * v / a) {
      p.ta = v / a;
      p.peak = v;
      p.total = d / v + v / a;
    } else {
      p.ta = std::sqrt(d / a);
      p.peak = a * p.ta;
      p.total = 2.0 * p.ta;
    }
    p.active = true;
    end = std::max(end, t0 + p.total);
  }
  task.end_time = end;
  tasks_[id] = task;
  motion_task_ = id;
  return id;
}

int32_t RobotModel::stop() {
  for (auto& s : joints_) {
    s.profile.active = false;
    s.speed = 0.0;
  }
  if (motion_task_ != 0) {
    Task& t = tasks_[motion_task_];
    const bool ended = simTime() + kTimeEpsilon >= t.end_time;
    if (t.state == TaskState::ST_Running && (t.never_finish || !ended))
      t.state = TaskState::ST_Stopped;
    motion_task_ = 0;
  }
  return 0;
}

void RobotModel::finishServoTask(Task& task) {
  task.state = TaskState::ST_Finished;
  JointState& s = joints_[task.joint];
  if (!task.apply) {
    s.pending[task.param_id] = task.value;
    return;
  }
  for (const auto& [id, value] : s.pending) {
    s.active[id] = value;
    applies_.push_back(ServoApply{task.joint, id, value, simTime()});
  }
  s.pending.clear();
}

int32_t RobotModel::newServoTask(int joint, int param_id, int32_t value, bool apply) {
  const int32_t id = next_task_id_++;
  Task task;
  task.kind = TaskKind::Servo;
  task.never_finish = never_finish_;
  if (joint < 0 || joint >= kJoints) {
    task.state = TaskState::ST_Error;
    tasks_[id] = task;
    return id;
  }
  task.joint = joint;
  task.apply = apply;
  task.param_id = param_id;
  task.value = value;
  task.queries_left = config_.servo_task_queries;
  if (countTask(joint, TaskKind::Servo)) {
    task.state = TaskState::ST_Error;
  } else if (!task.never_finish && task.queries_left == 0) {
    finishServoTask(task);
  }
  tasks_[id] = task;
  return id;
}

int32_t RobotModel::setServoConfig(int32_t axis, int32_t id, int32_t value) {
  return newServoTask(axis, id, value, false);
}

int32_t RobotModel::applyServoConfig(int32_t axis) { return newServoTask(axis, 0, 0, true); }

int32_t RobotModel::taskState(int32_t id) {
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return TaskState::ST_Idle;
  Task& t = it->second;
  if (t.state != TaskState::ST_Running) return t.state;
  if (t.kind == TaskKind::Motion && id == motion_task_ && motionPaused()) {
    return TaskState::ST_Paused;
  }
  if (t.never_finish) return t.state;
  if (t.kind == TaskKind::Motion) {
    if (simTime() + kTimeEpsilon >= t.end_time) t.state = TaskState::ST_Finished;
  } else if (t.queries_left > 0) {
    --t.queries_left;
  } else {
    finishServoTask(t);
  }
  return t.state;
}

int32_t RobotModel::setServoFileParam(int32_t axis, int32_t id, const std::string& name,
                                      double value) {
  if (axis < 0 || axis >= kJoints) return -1;
  file_params_[FileParamKey{axis, id, name}] = value;
  return 0;
}

std::vector<double> RobotModel::positions() const {
  std::vector<double> out;
  for (const auto& s : joints_) out.push_back(s.position);
  return out;
}

std::vector<double> RobotModel::targetSpeeds() const {
  std::vector<double> out;
  for (const auto& s : joints_) out.push_back(s.speed);
  return out;
}

double RobotModel::velocityError(int j) const {
  if (j < 0 || j >= kJoints) return 0.0;
  const JointState& s = joints_[j];
  const JointConfig& cfg = config_.joints[j];
  double e = s.noise;
  if (s.speed == 0.0) return e;
  for (const auto& c : cfg.components) {
    std::complex<double> applied(0.0, 0.0);
    for (const auto& [id, value] : s.active) {
      const Word w = decode(value);
      if (w.order == c.order) applied += std::polar(w.current, w.phase);
    }
    const std::complex<double> z = std::polar(c.amplitude, c.phase) - c.gain * applied;
    const double h = resonance(cfg, orderFrequency(cfg, c.order, s.speed));
    e += h * (z * std::polar(1.0, c.order * s.motor_angle)).imag();
  }
  return e;
}

std::vector<double> RobotModel::actualSpeeds() const {
  std::vector<double> out;
  for (int j = 0; j < kJoints; ++j) out.push_back(joints_[j].speed + velocityError(j) * kDegToRad);
  return out;
}

namespace {
template <class Field>
std::vector<int16_t> motorList(const SimConfig& config, Field field) {
  std::vector<int16_t> out(static_cast<size_t>(config.motor_data_length), 0);
  for (int i = 0; i < config.motor_data_length && i < kJoints; ++i)
    out[i] = config.joints[i].*field;
  return out;
}
}  // namespace

std::vector<int16_t> RobotModel::polePairs() const {
  return motorList(config_, &JointConfig::pole_pairs);
}
std::vector<int16_t> RobotModel::statorSlots() const {
  return motorList(config_, &JointConfig::stator_slots);
}
std::vector<int16_t> RobotModel::axisRatios() const {
  return motorList(config_, &JointConfig::gear_ratio);
}

void RobotModel::setRobotStateAt(double sim_time, std::vector<int8_t> state) {
  robot_states_[sim_time] = std::move(state);
}

void RobotModel::pauseMotionAt(double sim_time, double seconds) {
  if (!(seconds > 0.0) || !std::isfinite(sim_time)) return;
  pauses_[sim_time] = sim_time + seconds;
}

void RobotModel::failTask(int joint, TaskKind kind, int nth) {
  if (joint < 0 || joint >= kJoints || nth < 1) return;
  failing_[{joint, kind}].push_back(nth);
}

int RobotModel::taskCount(int joint, TaskKind kind) const {
  if (joint < 0 || joint >= kJoints) return 0;
  return kind == TaskKind::Motion ? joints_[joint].motion_tasks : joints_[joint].servo_tasks;
}

std::optional<int32_t> RobotModel::activeServoParam(int joint, int id) const {
  if (joint < 0 || joint >= kJoints) return std::nullopt;
  auto it = joints_[joint].active.find(id);
  if (it == joints_[joint].active.end()) return std::nullopt;
  return it->second;
}

std::optional<int32_t> RobotModel::pendingServoParam(int joint, int id) const {
  if (joint < 0 || joint >= kJoints) return std::nullopt;
  auto it = joints_[joint].pending.find(id);
  if (it == joints_[joint].pending.end()) return std::nullopt;
  return it->second;
}

std::array<JointTruth, kJoints> RobotModel::groundTruth() const {
  std::array<JointTruth, kJoints> out;
  for (int j = 0; j < kJoints; ++j) out[j] = vb::sim::groundTruth(config_.joints[j]);
  return out;
}

}  // namespace vb::sim
