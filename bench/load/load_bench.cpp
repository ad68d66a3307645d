// Load on the operator port while an identification runs: websocket clients polling "update",
// HTTP clients fetching the UI files and one operator sending commands, for a fixed time; then
// the same load with abusive clients beside it, each sending commands as fast as it can and
// never reading a reply (reconnecting whenever the program closes it). Checks that the program
// survives, answers every well-behaved request exactly once with valid JSON, serves every file
// whole, and reports its resident size, the reply latency and the control cycle's lateness
// figures side by side with those of a run without load.
//
// usage: load_bench [--clients N] [--rate HZ] [--http N] [--abusers N] [--seconds S]
//                   [--no-baseline]
// Exit status 0 when every check held, 1 otherwise.
#include <rapidjson/document.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "WsClient.h"
#include "harness.h"
#include "raw_connection.h"

namespace {

using vb::e2e::Clock;
using vb::e2e::Seconds;

struct Options {
  // All from 127.0.0.1, which may hold 32 connections: the HTTP threads and the abusers too.
  int clients = 24;
  double rate = 20;
  int http = 4;  // threads, each fetching at 50 Hz
  int abusers = 1;
  double seconds = 60;
  bool baseline = true;
};

struct Counts {
  std::atomic<long> sent{0}, valid{0}, invalid{0}, lost{0};

  // Round-trip times of the answered requests, in ms.
  void took(Clock::time_point start) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::lock_guard<std::mutex> lock(mutex_);
    ms_.push_back(ms);
  }
  // The q-quantile of the round-trip times; NaN without any.
  double quantile(double q) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ms_.empty()) return std::nan("");
    std::vector<double> sorted = ms_;
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))];
  }

 private:
  std::mutex mutex_;
  std::vector<double> ms_;
};

struct AbuseCounts {
  std::atomic<long> connections{0}, closed_by_program{0}, frames{0};
};

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM").
long statusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
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
  long rss_before = -1, rss_after = -1, rss_peak = -1;
  Counts updates, commands, http;
  AbuseCounts abuse;
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
    const auto start = Clock::now();
    if (!ws.request("{\"task\":\"update\",\"id\":" + std::to_string(++id) + "}", &reply, 5.0)) {
      ++c.lost;
    } else if (c.took(start), validUpdate(reply, id)) {
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
    const auto start = Clock::now();
    if (!ws.request(text, &reply, 5.0)) {
      ++c.lost;
    } else if (c.took(start), success(reply, id)) {
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
    const auto start = Clock::now();
    const std::string r = vb::e2e::httpGet(port, page ? "/" : "/img/logo.svg", Seconds(5));
    if (r.empty()) {
      ++c.lost;
    } else if (c.took(start),
               vb::e2e::httpStatus(r) == 200 && vb::e2e::httpBody(r) == (page ? index : logo)) {
      ++c.valid;
    } else {
      ++c.invalid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Commands as fast as the connection takes them, no reply ever read; a new connection whenever
// the program closes one.
void abuse(int port, Clock::time_point end, AbuseCounts& c) {
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += vb::test::shortTextFrame(R"({"task":"update"})");
  while (Clock::now() < end) {
    vb::test::RawConnection raw(port);
    if (!raw.ok() || !raw.send(vb::test::websocketUpgrade(port)) ||
        raw.read(Seconds(10), "\r\n\r\n").find(" 101 ") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    ++c.connections;
    bool open = true;
    while (open && Clock::now() < end) {
      open = raw.send(batch);
      if (open) c.frames += 1000;
    }
    if (!open) ++c.closed_by_program;
  }
}

void runPhase(Phase& p, const Options& o, bool load, bool abusive) {
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
  p.rss_before = statusKb(program->pid(), "VmRSS");

  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(o.seconds));
  std::vector<std::thread> threads;
  if (load) {
    for (int i = 0; i < o.clients; ++i)
      threads.emplace_back(pollUpdates, web, std::cref(o), end, std::ref(p.updates));
    for (int i = 0; i < o.http; ++i) threads.emplace_back(fetchFiles, web, end, std::ref(p.http));
  }
  if (abusive) {
    for (int i = 0; i < o.abusers; ++i) threads.emplace_back(abuse, web, end, std::ref(p.abuse));
  }
  threads.emplace_back(sendCommands, web, end, std::ref(p.commands));
  for (std::thread& t : threads) t.join();

  p.rss_after = statusKb(program->pid(), "VmRSS");
  p.rss_peak = statusKb(program->pid(), "VmHWM");
  p.figures = figures(*program, 1);
  p.alive = program->running();
  p.state_after = observer.testState();
  run->signal(SIGINT);
  run->wait(Seconds(30));
}

void printCounts(const char* what, Counts& c) {
  std::printf(
      "  %-9s sent %7ld  valid %7ld  invalid %ld  lost %ld  ms p50 %.3f p99 %.3f max %.3f\n", what,
      c.sent.load(), c.valid.load(), c.invalid.load(), c.lost.load(), c.quantile(0.5),
      c.quantile(0.99), c.quantile(1.0));
}

bool report(Phase& p, bool load, bool abusive) {
  std::printf("%s:\n  %s\n  resident size: %ld kB before, %ld kB after, %ld kB at the most\n",
              p.name.c_str(), p.figures.c_str(), p.rss_before, p.rss_after, p.rss_peak);
  if (load) {
    printCounts("updates", p.updates);
    printCounts("http", p.http);
  }
  printCounts("commands", p.commands);
  if (abusive) {
    std::printf("  abusers   connections %ld  closed by the program %ld  commands written %ld\n",
                p.abuse.connections.load(), p.abuse.closed_by_program.load(),
                p.abuse.frames.load());
  }
  bool ok = p.alive && p.state_after == 1 && p.commands.invalid == 0 && p.commands.lost == 0 &&
            p.commands.valid > 0;
  if (load)
    ok = ok && p.updates.invalid == 0 && p.updates.lost == 0 && p.updates.valid > 0 &&
         p.http.invalid == 0 && p.http.lost == 0 && p.http.valid > 0;
  // Every abusive connection that got far enough behind was closed.
  if (abusive) ok = ok && p.abuse.connections > 0 && p.abuse.closed_by_program > 0;
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
    } else if (a == "--abusers" && has_value) {
      o->abusers = std::atoi(argv[++i]);
    } else if (a == "--seconds" && has_value) {
      o->seconds = std::atof(argv[++i]);
    } else {
      return false;
    }
  }
  return o->clients >= 0 && o->clients <= 500 && o->rate > 0 && o->rate <= 1000 && o->http >= 0 &&
         o->http <= 64 && o->abusers >= 0 && o->abusers <= 64 && o->seconds > 0 &&
         o->seconds <= 3600;
}

}  // namespace

// One row of the side-by-side table: a figure of each phase.
template <class Figure>
void row(const char* label, const std::vector<std::unique_ptr<Phase>>& phases, Figure figure) {
  std::printf("  %-22s", label);
  for (const auto& p : phases) std::printf(" %16.3f", figure(*p));
  std::printf("\n");
}

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: load_bench [--clients N] [--rate HZ] [--http N] [--abusers N] "
                 "[--seconds S] [--no-baseline]\n");
    return 2;
  }
  const std::string window = " (" + std::to_string(static_cast<int>(o.seconds)) + " s)";
  const std::string load = std::to_string(o.clients) + " websocket clients at " +
                           std::to_string(static_cast<int>(o.rate)) + " Hz, " +
                           std::to_string(o.http) + " HTTP clients at 50 Hz";
  std::vector<std::unique_ptr<Phase>> phases;
  std::vector<std::string> columns;
  bool ok = true;
  auto run = [&](const std::string& name, const std::string& column, bool loaded, bool abusive) {
    phases.push_back(std::make_unique<Phase>());
    Phase& p = *phases.back();
    p.name = name + window;
    columns.push_back(column);
    runPhase(p, o, loaded, abusive);
    ok = report(p, loaded, abusive) && ok;
  };
  if (o.baseline) run("without load", "without load", false, false);
  run("with load: " + load, "with load", true, false);
  if (o.abusers > 0) {
    run("with load and " + std::to_string(o.abusers) + " abusive clients: " + load,
        "load + abusers", true, true);
  }

  std::printf("side by side:\n  %-22s", "");
  for (const std::string& c : columns) std::printf(" %16s", c.c_str());
  std::printf("\n");
  row("resident kB, after", phases, [](Phase& p) { return static_cast<double>(p.rss_after); });
  row("resident kB, at most", phases, [](Phase& p) { return static_cast<double>(p.rss_peak); });
  row("update ms, p50", phases, [](Phase& p) { return p.updates.quantile(0.5); });
  row("update ms, p99", phases, [](Phase& p) { return p.updates.quantile(0.99); });
  row("update ms, max", phases, [](Phase& p) { return p.updates.quantile(1.0); });
  row("command ms, p50", phases, [](Phase& p) { return p.commands.quantile(0.5); });
  row("command ms, p99", phases, [](Phase& p) { return p.commands.quantile(0.99); });
  row("command ms, max", phases, [](Phase& p) { return p.commands.quantile(1.0); });
  row("HTTP file ms, p50", phases, [](Phase& p) { return p.http.quantile(0.5); });
  row("HTTP file ms, p99", phases, [](Phase& p) { return p.http.quantile(0.99); });
  std::printf("%s\n", ok ? "load: all checks held" : "load: CHECKS FAILED");
  return ok ? 0 : 1;
}
