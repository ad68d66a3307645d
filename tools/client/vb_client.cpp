// Operator client of the vibration test program: runs an identification through the
// websocket protocol, prints its results, and requests activation or deactivation.
#include <rapidjson/document.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GroundTruth.h"
#include "Progress.h"
#include "TestSchedule.h"
#include "WsClient.h"

namespace {

const char* const kUsage =
    "usage: vb_client [--host H] [--port P] COMMAND [options]\n"
    "commands:\n"
    "  run [--joint J | --mode M] [--normal] [--timeout S] [--truth FILE] [--log FILE]\n"
    "      identify joint J (0..5, default 0) or run test mode M (0..5 or 99: all joints);\n"
    "      high-speed mode unless --normal; shows the stage, the move, the time elapsed and\n"
    "      an estimate of the time left (in place on a terminal, else a line per stage and\n"
    "      every 10 s); at the end prints the result table per joint and order and stops\n"
    "      the test, which leaves the program idle with the results kept for activation;\n"
    "      with --truth (the output of robot_sim --truth) also the simulator's ground truth,\n"
    "      and exit status 4 when the result does not match it; with --log (the program's\n"
    "      output as a file) the progress follows the stage ends that the program prints,\n"
    "      and a stage that fails and ends the test ends the run with its line (status 3)\n"
    "  activate J       ask the program to write joint J's identified compensation\n"
    "  deactivate J     ask the program to clear joint J's compensation\n"
    "  update           print one \"update\" reply\n"
    "  params           print the joint motor parameters\n"
    "  send JSON        send one raw request and print the reply\n"
    "options: --host (default 127.0.0.1), --port (default 11666), --timeout seconds\n"
    "         (run: default 3600; others: 5), --connect-timeout seconds (default 10)\n";

volatile std::sig_atomic_t g_interrupted = 0;
void onSignal(int) { g_interrupted = 1; }

struct Options {
  std::string host = "127.0.0.1";
  int port = 11666;
  std::string command;
  std::vector<std::string> args;
  int mode = 0;
  bool normal = false;
  double timeout = -1;
  double connect_timeout = 10;
  std::string truth_file;
  std::string log_file;
};

bool parseInt(const std::string& text, long lo, long hi, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parseDouble(const std::string& text, double* out) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0) return false;
  *out = v;
  return true;
}

bool parseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) {
        *error = a + " needs a value";
        return false;
      }
      *v = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      *error = "";
      return false;
    } else if (a == "--host") {
      if (!value(&o->host)) return false;
    } else if (a == "--port") {
      if (!value(&v) || !parseInt(v, 1, 65535, &o->port)) {
        *error = "--port needs a number 1..65535";
        return false;
      }
    } else if (a == "--joint" || a == "--mode") {
      if (!value(&v) || !parseInt(v, 0, vb::kAllJointsMode, &o->mode) ||
          (o->mode > 5 && o->mode != vb::kAllJointsMode) || (a == "--joint" && o->mode > 5)) {
        *error = a == "--joint" ? "--joint needs 0..5" : "--mode needs 0..5 or 99";
        return false;
      }
    } else if (a == "--truth") {
      if (!value(&o->truth_file)) return false;
    } else if (a == "--log") {
      if (!value(&o->log_file)) return false;
    } else if (a == "--normal") {
      o->normal = true;
    } else if (a == "--timeout" || a == "--connect-timeout") {
      double* target = a == "--timeout" ? &o->timeout : &o->connect_timeout;
      if (!value(&v) || !parseDouble(v, target)) {
        *error = a + " needs a positive number of seconds";
        return false;
      }
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      o->args.push_back(a);
    }
  }
  if (o->command.empty()) {
    *error = "no command given";
    return false;
  }
  return true;
}

const rapidjson::Value* member(const rapidjson::Value& v, const char* name) {
  if (!v.IsObject()) return nullptr;
  auto it = v.FindMember(name);
  return it == v.MemberEnd() ? nullptr : &it->value;
}

double entry(const rapidjson::Document& d, const char* key, int joint) {
  const rapidjson::Value* a = member(d, key);
  if (!a || !a->IsArray() || a->Size() <= static_cast<unsigned>(joint)) return NAN;
  const rapidjson::Value& e = (*a)[joint];
  return e.IsNumber() ? e.GetDouble() : NAN;
}

class Session {
 public:
  explicit Session(const Options& o) : opt_(o) {}

  bool open() {
    std::string error;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(opt_.connect_timeout);
    // The program may still be starting: retry until the connect time-out.
    while (true) {
      ws_.reset(new vb::tools::WsClient);
      if (ws_->connect(opt_.host, opt_.port, 2.0, &error)) return true;
      if (std::chrono::steady_clock::now() >= deadline || g_interrupted) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::fprintf(stderr, "vb_client: cannot connect to ws://%s:%d/: %s\n", opt_.host.c_str(),
                 opt_.port, error.c_str());
    return false;
  }

  // One request; the reply must be a JSON object naming the same task and not refused.
  bool call(const std::string& task, const std::string& req, rapidjson::Document* reply,
            std::string* text = nullptr) {
    std::string request = "{\"id\":" + std::to_string(++id_) + ",\"task\":\"" + task + "\"";
    if (!req.empty()) request += ",\"req\":" + req;
    request += "}";
    std::string answer;
    if (!ws_->request(request, &answer, 5.0)) {
      std::fprintf(stderr, "vb_client: no reply to %s\n", task.c_str());
      return false;
    }
    if (text) *text = answer;
    reply->Parse(answer.c_str());
    const rapidjson::Value* t = reply->HasParseError() ? nullptr : member(*reply, "task");
    if (!t || !t->IsString() || task != t->GetString()) {
      std::fprintf(stderr, "vb_client: unexpected reply to %s: %s\n", task.c_str(), answer.c_str());
      return false;
    }
    const rapidjson::Value* ok = member(*reply, "success");
    if (ok && ok->IsBool() && !ok->GetBool()) {
      const rapidjson::Value* e = member(*reply, "error");
      std::fprintf(stderr, "vb_client: %s refused: %s\n", task.c_str(),
                   e && e->IsString() ? e->GetString() : answer.c_str());
      return false;
    }
    return true;
  }

  bool simple(const std::string& task, const std::string& req = "") {
    rapidjson::Document d;
    return call(task, req, &d);
  }

  int testState(rapidjson::Document* d) {
    if (!call("update", "", d)) return -1;
    const rapidjson::Value* s = member(*d, "test_state");
    return s && s->IsInt() ? s->GetInt() : -1;
  }

  vb::tools::WsClient& ws() { return *ws_; }

 private:
  const Options& opt_;
  std::unique_ptr<vb::tools::WsClient> ws_;
  long id_ = 0;
};

void printJoint(const rapidjson::Document& d, int j) {
  double vel = entry(d, "max_vib_vel", j);
  std::printf("joint %d: worst speed %.8f rad/s (%.2f deg/s)\n", j, vel, vel * 180.0 / M_PI);
  std::printf("%-5s %10s %7s %11s %11s %6s %7s %10s\n", "order", "freq_hz", "nominal", "amp_before",
              "amp_after", "phase", "current", "servo_word");
  const char* names[3] = {"first", "second", "third"};
  for (int k = 0; k < 3; ++k) {
    std::string n = names[k];
    std::printf(
        "%-5d %10.4f %7.0f %11.6f %11.6f %6.1f %7.1f %10.0f\n", k + 1,
        entry(d, ("max_vib_" + n + "_freq").c_str(), j),
        entry(d, ("max_vib_" + n + "_order").c_str(), j),
        entry(d, ("max_vib_" + n + "_amp").c_str(), j), entry(d, (n + "_optimum_amp").c_str(), j),
        entry(d, (n + "_optimum_phase").c_str(), j), entry(d, (n + "_optimum_current").c_str(), j),
        entry(d, (n + "_servo_param").c_str(), j));
  }
}

// The program's result for joint j from an "update" and a "getJointParam" reply.
vb::tools::JointResult jointResult(const rapidjson::Document& update,
                                   const rapidjson::Document& params, int j) {
  vb::tools::JointResult r;
  const rapidjson::Value* p = member(params, "req");
  auto motor = [&](const char* key) {
    const rapidjson::Value* a = p ? member(*p, key) : nullptr;
    if (!a || !a->IsArray() || a->Size() <= static_cast<unsigned>(j) || !(*a)[j].IsNumber())
      return -1;
    return (*a)[j].GetInt();
  };
  r.pole_pairs = motor("motor_pole_pair");
  r.stator_slots = motor("stator_slots");
  r.ratio = motor("joint_ratio");
  r.worst_speed_rad_s = entry(update, "max_vib_vel", j);
  const char* names[3] = {"first", "second", "third"};
  for (int k = 0; k < 3; ++k) {
    const std::string n = names[k];
    vb::tools::JointResult::Order& o = r.orders[k];
    o.freq_hz = entry(update, ("max_vib_" + n + "_freq").c_str(), j);
    o.nominal = entry(update, ("max_vib_" + n + "_order").c_str(), j);
    o.amp_before = entry(update, ("max_vib_" + n + "_amp").c_str(), j);
    o.amp_after = entry(update, (n + "_optimum_amp").c_str(), j);
    o.phase = entry(update, (n + "_optimum_phase").c_str(), j);
    o.current = entry(update, (n + "_optimum_current").c_str(), j);
    o.servo_word = entry(update, (n + "_servo_param").c_str(), j);
  }
  return r;
}

bool readTruth(const std::string& file, vb::tools::Truth* truth) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  if (!in || !vb::tools::parseTruth(text.str(), truth, &error)) {
    std::fprintf(stderr, "vb_client: %s: %s\n", file.c_str(),
                 in ? error.c_str() : "cannot be read");
    return false;
  }
  return true;
}

// "stopTest", then the test state 0 within a few cycles; false (with the reason on standard
// error) when the program does not get there.
bool stopAndWaitForIdle(Session& s) {
  if (!s.simple("stopTest")) return false;
  rapidjson::Document d;
  for (int i = 0; i < 50; ++i) {
    const int state = s.testState(&d);
    if (state == 0) return true;
    if (state < 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "vb_client: the program did not go idle after stopTest\n");
  return false;
}

// The progress line on a terminal: rewritten in place, cut to the terminal's width so that it
// never wraps.
void showInPlace(const std::string& text) {
  winsize w{};
  std::size_t width = 80;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 1) width = w.ws_col;
  std::printf("\r%s\033[K", text.substr(0, width - 1).c_str());
  std::fflush(stdout);
}

int runTest(Session& s, const Options& o) {
  rapidjson::Document d;
  vb::tools::Truth truth;
  if (!o.truth_file.empty() && !readTruth(o.truth_file, &truth)) return 2;
  if (!o.log_file.empty() && !std::ifstream(o.log_file)) {
    std::fprintf(stderr, "vb_client: %s: cannot be read\n", o.log_file.c_str());
    return 2;
  }
  // Only what the program prints from here on.
  vb::tools::FileTail log(o.log_file);
  vb::tools::ProgressEstimate progress(o.mode, !o.normal, !o.log_file.empty());
  // A new test needs the command to pass through 0 first, and a cycle of the program to see it:
  // until then a finished test still reads 2, with the results of the run before.
  if (!stopAndWaitForIdle(s)) return 1;
  if (!s.simple("setTestMode", "{\"mode\":" + std::to_string(o.mode) + "}") ||
      !s.simple("setHighSpeedMode",
                o.normal ? "{\"high_speed\":false}" : "{\"high_speed\":true}") ||
      !s.simple("startTest"))
    return 1;

  const double timeout = o.timeout > 0 ? o.timeout : 3600;
  const auto begin = std::chrono::steady_clock::now();
  const bool tty = isatty(STDOUT_FILENO);
  // Into a log: a line per stage, and one every 10 s between.
  constexpr double kPlainEvery = 10.0;
  int state = -1;
  // A 2 ends this run only after this run's 1: before it, it can only be an earlier test's.
  bool seen_running = false;
  bool finished = false;
  std::string last_stage;
  double last_line = -kPlainEvery;
  std::vector<std::string> lines;
  std::string failure;
  while (!g_interrupted) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state = s.testState(&d);
    if (state < 0) break;
    if (state == 1) seen_running = true;
    finished = state == 2 && seen_running;
    if (state != 2 || finished) progress.testState(state, elapsed);
    lines.clear();
    if (!o.log_file.empty()) log.poll(&lines);
    for (const std::string& line : lines) {
      progress.programLine(line, elapsed);
      if (vb::tools::isStageFailure(line)) failure = line;
    }
    if (finished) break;
    // A failed stage ends the test: the program goes idle and says why.
    if (state == 0 && !failure.empty()) break;
    if (elapsed > timeout) break;
    const vb::tools::ProgressView view = progress.at(elapsed);
    const std::string text = vb::tools::formatProgress(view);
    if (tty) {
      showInPlace(text);
    } else {
      const std::string stage = std::to_string(view.joint) + " " + vb::tools::stageName(view.stage);
      if (stage != last_stage || elapsed - last_line >= kPlainEvery) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        last_stage = stage;
        last_line = elapsed;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  if (tty) std::printf("\n");
  if (state == 0 && !failure.empty()) {
    std::fprintf(stderr, "vb_client: the test failed and ended: %s\n", failure.c_str());
    return 3;
  }
  if (!finished) {
    s.simple("stopTest");
    std::fprintf(stderr, "vb_client: test %s\n",
                 g_interrupted ? "interrupted, stopped"
                 : state < 0   ? "lost the program"
                               : "timed out, stopped");
    return g_interrupted ? 130 : 3;
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  // The finished test is stopped, so that the program waits idle: with the command left at 1 a
  // later return of the robot to its runnable state would start a new test. Stopping keeps
  // the results, and they stay activatable.
  const bool stopped = stopAndWaitForIdle(s);
  std::printf("test finished in %.0f s\n", elapsed);
  for (int j = 0; j < 6; ++j)
    if (o.mode == vb::kAllJointsMode || o.mode == j) printJoint(d, j);
  if (!stopped) return 1;
  std::printf("the program is idle; its results are kept (vb_client activate J writes them)\n");
  if (o.truth_file.empty()) return 0;
  rapidjson::Document params;
  if (!s.call("getJointParam", "", &params)) return 1;
  bool match = true;
  for (int j = 0; j < 6; ++j) {
    if (o.mode != vb::kAllJointsMode && o.mode != j) continue;
    if (!truth[j].present) {
      std::fprintf(stderr, "vb_client: no ground truth for joint %d\n", j);
      match = false;
      continue;
    }
    match = vb::tools::compareWithTruth(j, jointResult(d, params, j), truth[j], !o.normal) && match;
  }
  return match ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!parseOptions(argc, argv, &o, &error)) {
    if (!error.empty()) std::fprintf(stderr, "vb_client: %s\n", error.c_str());
    std::fputs(kUsage, error.empty() ? stdout : stderr);
    return error.empty() ? 0 : 2;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  Session s(o);
  if (o.command == "run") {
    if (!o.args.empty()) {
      std::fprintf(stderr, "vb_client: run takes no arguments\n");
      return 2;
    }
    return s.open() ? runTest(s, o) : 1;
  }
  if (o.command == "activate" || o.command == "deactivate") {
    int joint = 0;
    if (o.args.size() != 1 || !parseInt(o.args[0], 0, 5, &joint)) {
      std::fprintf(stderr, "vb_client: %s needs a joint 0..5\n", o.command.c_str());
      return 2;
    }
    if (!s.open()) return 1;
    std::string task = o.command == "activate" ? "activateIDResult" : "deactivateIDResult";
    if (!s.simple(task, "{\"num\":" + std::to_string(joint) + "}")) return 1;
    std::printf("%s requested for joint %d\n", o.command.c_str(), joint);
    return 0;
  }
  if (o.command == "update" || o.command == "params" || o.command == "send") {
    if ((o.command == "send") != (o.args.size() == 1)) {
      std::fprintf(stderr, "vb_client: %s\n",
                   o.command == "send" ? "send needs one JSON text" : "no arguments expected");
      return 2;
    }
    if (!s.open()) return 1;
    std::string reply;
    if (o.command == "send") {
      if (!s.ws().request(o.args[0], &reply, o.timeout > 0 ? o.timeout : 5.0)) {
        std::fprintf(stderr, "vb_client: no reply\n");
        return 1;
      }
    } else {
      rapidjson::Document d;
      if (!s.call(o.command == "update" ? "update" : "getJointParam", "", &d, &reply)) return 1;
    }
    std::printf("%s\n", reply.c_str());
    return 0;
  }
  std::fprintf(stderr, "vb_client: unknown command %s\n%s", o.command.c_str(), kUsage);
  return 2;
}
