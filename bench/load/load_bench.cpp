// Load on the operator port while an identification runs: websocket clients polling "update",
// HTTP clients fetching the UI files and one operator sending commands, for a fixed time. Checks
// that the program survives, answers every request exactly once with valid JSON, serves every
// file whole, and reports its resident size and the control cycle's lateness figures, next to
// the same figures of a run without load.
//
// usage: load_bench [--clients N] [--rate HZ] [--http N] [--seconds S] [--no-baseline]
// Exit status 0 when every check held, 1 otherwise.
#include <rapidjson/document.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "WsClient.h"
#include "harness.h"

namespace {

using vb::e2e::Clock;
using vb::e2e::Seconds;

struct Options {
  int clients = 50;
  double rate = 20;
  int http = 4;  // threads, each fetching at 50 Hz
  double seconds = 60;
  bool baseline = true;
};

struct Counts {
  std::atomic<long> sent{0}, valid{0}, invalid{0}, lost{0};
};

long rssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// An "update" reply as the protocol has it: id, task, test_state and 22 arrays of six numbers.
bool validUpdate(const std::string& text, unsigned id) {
  rapidjson::Document d;
  d.Parse(text.c_str());
  if (d.HasParseError() || !d.IsObject() || !d.HasMember("id") || !d["id"].IsUint() ||
      d["id"].GetUint() != id || !d.HasMember("task") || !d["task"].IsString() ||
      std::string(d["task"].GetString()) != "update" || !d.HasMember("test_state") ||
      !d["test_state"].IsInt())
    return false;
  int arrays = 0;
  for (const auto& m : d.GetObject()) {
    if (!m.value.IsArray()) continue;
    if (m.value.Size() != 6) return false;
    for (const auto& e : m.value.GetArray())
      if (!e.IsNumber()) return false;
    ++arrays;
  }
  return arrays == 22 && d.MemberCount() == 25;
}

bool success(const std::string& text, unsigned id) {
  rapidjson::Document d;
  d.Parse(text.c_str());
  return !d.HasParseError() && d.IsObject() && d.HasMember("id") && d["id"].IsUint() &&
         d["id"].GetUint() == id && d.HasMember("success") && d["success"].IsBool() &&
         d["success"].GetBool();
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Phase {
  std::string name;
  std::string figures;  // the program's "cycle figures:" line at the end
  long rss_before = -1, rss_after = -1;
  Counts updates, commands, http;
  bool alive = false;
  int state_after = -1;
};

// The program's figures line, asked for by SIGUSR1.
std::string figures(vb::e2e::Process& program, int nth) {
  program.signal(SIGUSR1);
  program.waitFor("cycle figures:", Seconds(5), nth);
  const std::string out = program.output();
  std::size_t at = std::string::npos;
  for (int i = 0; i < nth; ++i)
    at = out.find("cycle figures:", at == std::string::npos ? 0 : at + 1);
  if (at == std::string::npos) return "(no figures)";
  return out.substr(at, out.find('\n', at) - at);
}

void pollUpdates(int port, const Options& o, Clock::time_point end, Counts& c) {
  vb::tools::WsClient ws;
  std::string error;
  if (!ws.connect("127.0.0.1", port, 10, &error)) {
    ++c.lost;
    return;
  }
  const auto period = std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / o.rate));
  unsigned id = 0;
  for (auto next = Clock::now(); next < end; next += period) {
    std::this_thread::sleep_until(next);
    std::string reply;
    ++c.sent;
    if (!ws.request("{\"task\":\"update\",\"id\":" + std::to_string(++id) + "}", &reply, 5.0)) {
      ++c.lost;
    } else if (validUpdate(reply, id)) {
      ++c.valid;
    } else {
      ++c.invalid;
    }
  }
}

// The operator's commands during the load: each must come back, once, with success.
void sendCommands(int port, Clock::time_point end, Counts& c) {
  vb::tools::WsClient ws;
  std::string error;
  if (!ws.connect("127.0.0.1", port, 10, &error)) {
    ++c.lost;
    return;
  }
  const char* const commands[] = {
      R"("task":"getJointParam")",
      R"("task":"setHighSpeedMode","req":{"high_speed":true})",
      R"("task":"setTestMode","req":{"mode":0})",
  };
  unsigned id = 0;
  while (Clock::now() < end) {
    std::string reply;
    ++id;
    ++c.sent;
    const std::string text = "{\"id\":" + std::to_string(id) + "," + commands[id % 3] + "}";
    if (!ws.request(text, &reply, 5.0)) {
      ++c.lost;
    } else if (success(reply, id)) {
      ++c.valid;
    } else {
      ++c.invalid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void fetchFiles(int port, Clock::time_point end, Counts& c) {
  const std::string root = vb::e2e::uiRoot() + "/run/dist";
  const std::string index = fileText(root + "/index.html");
  const std::string logo = fileText(root + "/img/logo.svg");
  for (unsigned i = 0; Clock::now() < end; ++i) {
    const bool page = i % 2 == 0;
    ++c.sent;
    const std::string r = vb::e2e::httpGet(port, page ? "/" : "/img/logo.svg", Seconds(5));
    if (r.empty()) {
      ++c.lost;
    } else if (vb::e2e::httpStatus(r) == 200 && vb::e2e::httpBody(r) == (page ? index : logo)) {
      ++c.valid;
    } else {
      ++c.invalid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void runPhase(Phase& p, const Options& o, bool load) {
  const int web = vb::e2e::freePort();
  const int controller = vb::e2e::freePort();
  auto sim = vb::e2e::startSim(controller);
  auto program = vb::e2e::startProgram(web, controller);
  sim->quiet();
  program->quiet();
  program->waitFor("connectToOvraCobot successed.", Seconds(30));
  // The identification: one joint, high-speed, by the operator client (about 4 minutes, so it
  // runs through the whole window).
  auto run = vb::e2e::startClient(web, {"run", "--joint", "0", "--timeout", "3600"});
  run->quiet();
  vb::e2e::Observer observer(web);
  observer.waitForState(1, Seconds(60));
  p.rss_before = rssKb(program->pid());

  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(o.seconds));
  std::vector<std::thread> threads;
  if (load) {
    for (int i = 0; i < o.clients; ++i)
      threads.emplace_back(pollUpdates, web, std::cref(o), end, std::ref(p.updates));
    for (int i = 0; i < o.http; ++i) threads.emplace_back(fetchFiles, web, end, std::ref(p.http));
  }
  threads.emplace_back(sendCommands, web, end, std::ref(p.commands));
  for (std::thread& t : threads) t.join();

  p.rss_after = rssKb(program->pid());
  p.figures = figures(*program, 1);
  p.alive = program->running();
  p.state_after = observer.testState();
  run->signal(SIGINT);
  run->wait(Seconds(30));
}

void printCounts(const char* what, const Counts& c) {
  std::printf("  %-9s sent %7ld  valid %7ld  invalid %ld  lost %ld\n", what, c.sent.load(),
              c.valid.load(), c.invalid.load(), c.lost.load());
}

bool report(const Phase& p, bool load) {
  std::printf("%s:\n  %s\n  resident size: %ld kB before, %ld kB after\n", p.name.c_str(),
              p.figures.c_str(), p.rss_before, p.rss_after);
  if (load) {
    printCounts("updates", p.updates);
    printCounts("http", p.http);
  }
  printCounts("commands", p.commands);
  bool ok = p.alive && p.state_after == 1 && p.commands.invalid == 0 && p.commands.lost == 0 &&
            p.commands.valid > 0;
  if (load)
    ok = ok && p.updates.invalid == 0 && p.updates.lost == 0 && p.updates.valid > 0 &&
         p.http.invalid == 0 && p.http.lost == 0 && p.http.valid > 0;
  std::printf("  program %s, test state %d afterwards: %s\n", p.alive ? "running" : "ENDED",
              p.state_after, ok ? "ok" : "FAILED");
  return ok;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--no-baseline") {
      o->baseline = false;
    } else if (a == "--clients" && has_value) {
      o->clients = std::atoi(argv[++i]);
    } else if (a == "--rate" && has_value) {
      o->rate = std::atof(argv[++i]);
    } else if (a == "--http" && has_value) {
      o->http = std::atoi(argv[++i]);
    } else if (a == "--seconds" && has_value) {
      o->seconds = std::atof(argv[++i]);
    } else {
      return false;
    }
  }
  return o->clients >= 0 && o->clients <= 500 && o->rate > 0 && o->rate <= 1000 && o->http >= 0 &&
         o->http <= 64 && o->seconds > 0 && o->seconds <= 3600;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: load_bench [--clients N] [--rate HZ] [--http N] [--seconds S] "
                 "[--no-baseline]\n");
    return 2;
  }
  bool ok = true;
  if (o.baseline) {
    Phase quiet;
    quiet.name = "without load (" + std::to_string(static_cast<int>(o.seconds)) + " s)";
    runPhase(quiet, o, false);
    ok = report(quiet, false) && ok;
  }
  Phase loaded;
  loaded.name = "with load: " + std::to_string(o.clients) + " websocket clients at " +
                std::to_string(static_cast<int>(o.rate)) + " Hz, " + std::to_string(o.http) +
                " HTTP clients at 50 Hz (" + std::to_string(static_cast<int>(o.seconds)) + " s)";
  runPhase(loaded, o, true);
  ok = report(loaded, true) && ok;
  std::printf("%s\n", ok ? "load: all checks held" : "load: CHECKS FAILED");
  return ok ? 0 : 1;
}
