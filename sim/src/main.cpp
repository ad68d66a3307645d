// robot_sim: the simulated robot controller as a program, for the main job and manual runs.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimController.h"

namespace {

const char* const kUsage = R"(usage: robot_sim [options]

Simulated robot controller: serves the RPCRobot Thrift service (binary protocol, buffered
transport) on 127.0.0.1 with a six-joint vibration model. The simulated clock advances 0.004 s at
every get_robot_state request. Runs until SIGINT or SIGTERM.

options:
  --port N                     port to listen on (default 7003; 0 picks a free one)
  --seed N                     noise seed
  --noise SIGMA                velocity-error noise in deg/s (default 0.005)
  --layout default|high-speed  the arm: default (worst speeds 0.7..1.2 deg/s, for normal mode)
                               or high-speed (resonances at 2 deg/s, for high-speed mode)
  --truth                      print the ground truth of the model and exit
  faults:
  --robot-state-at T:LIST      from sim time T (s) report LIST, e.g. 5:6,0,5,1 or 5:4,0 or 5:
  --fail-task J:KIND:N         the Nth task (1-based) of joint J of KIND motion|servo ends in 6
  --tasks-never-finish         every task reports 1 forever
  --pause-motion-at T:S        from sim time T motion tasks report 2 (paused) for S s, the arm still
  --servo-task-queries N       servo tasks report 1 for N queries before they finish
  --reply-delay-ms N           delay every reply by N ms
  --drop-connections-at T:S    at sim time T close every connection and refuse new ones for S s
  --throw-on METHOD[:TIMES]    answer METHOD with an exception (every call, or TIMES calls)
  --motor-data-length N        entries of the three motor-data lists (default 6)
  --help                       this text
)";

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "robot_sim: " << message << "\n(see robot_sim --help)\n";
  std::exit(2);
}

double toDouble(const std::string& s, const std::string& what) {
  try {
    size_t used = 0;
    const double v = std::stod(s, &used);
    if (used == s.size()) return v;
  } catch (const std::exception&) {
  }
  fail("bad number for " + what + ": '" + s + "'");
}

int toInt(const std::string& s, const std::string& what) {
  try {
    size_t used = 0;
    const long v = std::stol(s, &used);
    if (used == s.size() && v >= -2147483647L && v <= 2147483647L) return static_cast<int>(v);
  } catch (const std::exception&) {
  }
  fail("bad integer for " + what + ": '" + s + "'");
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) out.push_back(part);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

void printTruth(const vb::sim::SimConfig& config) {
  std::printf(
      "joint pole_pairs stator_slots ratio worst_deg_s | order freq_hz amp_deg_s phase current "
      "word\n");
  for (int j = 0; j < vb::sim::kJoints; ++j) {
    const auto& c = config.joints[j];
    const auto truth = vb::sim::groundTruth(c);
    std::printf("%d %d %d %d %.1f", j, c.pole_pairs, c.stator_slots, c.gear_ratio,
                truth.worst_speed_deg_s);
    for (const auto& t : truth.components) {
      std::printf(" | %d %.4f %.4f %.1f %.1f %u", t.order, t.frequency_hz, t.amplitude_deg_s,
                  t.optimum_phase, t.optimum_current, t.servo_word);
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  vb::sim::SimConfig config;
  int port = vb::sim::SimController::kDefaultPort;
  bool truth_only = false;
  std::vector<std::pair<double, std::vector<int8_t>>> states;
  std::vector<std::pair<double, double>> drops;
  std::vector<std::pair<double, double>> pauses;
  std::vector<std::pair<std::string, int>> throws;
  struct FailSpec {
    int joint;
    vb::sim::TaskKind kind;
    int nth;
  };
  std::vector<FailSpec> failing;
  bool never_finish = false;
  int reply_delay_ms = 0;

  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) fail(a + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--port") {
      port = toInt(value(), a);
      if (port < 0 || port > 65535) fail("port out of range");
    } else if (a == "--seed") {
      config.seed = static_cast<uint64_t>(toInt(value(), a));
    } else if (a == "--noise") {
      config.noise_deg_s = toDouble(value(), a);
    } else if (a == "--layout") {
      const std::string& v = value();
      if (v == "default") {
        config.joints = vb::sim::defaultJoints();
      } else if (v == "high-speed") {
        config.joints = vb::sim::highSpeedJoints();
      } else {
        fail("--layout wants default or high-speed");
      }
    } else if (a == "--truth") {
      truth_only = true;
    } else if (a == "--robot-state-at") {
      const std::string& v = value();
      const auto colon = v.find(':');
      if (colon == std::string::npos) fail("--robot-state-at wants T:LIST");
      std::vector<int8_t> list;
      const std::string entries = v.substr(colon + 1);
      if (!entries.empty()) {
        for (const auto& e : split(entries, ',')) {
          const int x = toInt(e, a);
          if (x < -128 || x > 127) fail("robot state entry out of range: " + e);
          list.push_back(static_cast<int8_t>(x));
        }
      }
      states.emplace_back(toDouble(v.substr(0, colon), a), list);
    } else if (a == "--fail-task") {
      const auto parts = split(value(), ':');
      if (parts.size() != 3) fail("--fail-task wants J:KIND:N");
      vb::sim::TaskKind kind = vb::sim::TaskKind::Motion;
      if (parts[1] == "servo") {
        kind = vb::sim::TaskKind::Servo;
      } else if (parts[1] != "motion") {
        fail("task kind must be motion or servo");
      }
      const int joint = toInt(parts[0], a);
      const int nth = toInt(parts[2], a);
      if (joint < 0 || joint >= vb::sim::kJoints || nth < 1) fail("--fail-task joint 0..5, N >= 1");
      failing.push_back({joint, kind, nth});
    } else if (a == "--tasks-never-finish") {
      never_finish = true;
    } else if (a == "--pause-motion-at") {
      const auto parts = split(value(), ':');
      if (parts.size() != 2) fail("--pause-motion-at wants T:SECONDS");
      const double seconds = toDouble(parts[1], a);
      if (!(seconds > 0.0)) fail("--pause-motion-at wants SECONDS > 0");
      pauses.emplace_back(toDouble(parts[0], a), seconds);
    } else if (a == "--servo-task-queries") {
      config.servo_task_queries = toInt(value(), a);
      if (config.servo_task_queries < 0) fail("--servo-task-queries must be >= 0");
    } else if (a == "--reply-delay-ms") {
      reply_delay_ms = toInt(value(), a);
      if (reply_delay_ms < 0) fail("--reply-delay-ms must be >= 0");
    } else if (a == "--drop-connections-at") {
      const auto parts = split(value(), ':');
      if (parts.size() != 2) fail("--drop-connections-at wants T:SECONDS");
      drops.emplace_back(toDouble(parts[0], a), toDouble(parts[1], a));
    } else if (a == "--throw-on") {
      const auto parts = split(value(), ':');
      if (parts.empty() || parts.size() > 2 || parts[0].empty())
        fail("--throw-on wants METHOD[:TIMES]");
      throws.emplace_back(parts[0], parts.size() == 2 ? toInt(parts[1], a) : -1);
    } else if (a == "--motor-data-length") {
      config.motor_data_length = toInt(value(), a);
      if (config.motor_data_length < 0 || config.motor_data_length > 1000) {
        fail("--motor-data-length must be 0..1000");
      }
    } else {
      fail("unknown option " + a);
    }
  }

  if (truth_only) {
    printTruth(config);
    return 0;
  }

  // Signals are taken by sigwait below, not by a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  vb::sim::SimController sim(config);
  sim.setMaxRecordedCalls(10000);  // a long run must not grow without bound
  for (const auto& [t, list] : states) sim.setRobotStateAt(t, list);
  for (const auto& f : failing) sim.failTask(f.joint, f.kind, f.nth);
  for (const auto& [t, s] : drops) sim.dropConnectionsAt(t, s);
  for (const auto& [t, s] : pauses) sim.pauseMotionAt(t, s);
  for (const auto& [m, n] : throws) sim.throwOnMethod(m, n);
  sim.tasksNeverFinish(never_finish);
  sim.setReplyDelay(std::chrono::milliseconds(reply_delay_ms));

  int bound = 0;
  try {
    bound = sim.start(port);
  } catch (const std::exception& e) {
    std::cerr << "robot_sim: " << e.what() << "\n";
    return 1;
  }
  std::printf("robot_sim: listening on 127.0.0.1:%d\n", bound);
  std::fflush(stdout);

  int sig = 0;
  sigwait(&signals, &sig);
  std::printf("robot_sim: stopping at sim time %.3f s\n", sim.simTime());
  sim.stop();
  return 0;
}
