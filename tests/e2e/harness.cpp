#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "sim/RobotModel.h"

extern char** environ;

namespace vb {
namespace e2e {

Process::Process(const std::string& name, std::vector<std::string> argv,
                 const std::map<std::string, std::string>& env)
    : name_(name) {
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) env_text.push_back(entry);
  }
  for (const auto& [key, value] : env) env_text.push_back(key + "=" + value);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Dies with the test process, also when CTest kills it at its time-out.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid_ < 0) {
    ::close(fds[0]);
    return;
  }
  read_fd_ = fds[0];
  reader_ = std::thread([this] { readLoop(); });
}

Process::~Process() {
  kill();
  if (reader_.joinable()) reader_.join();
  if (read_fd_ >= 0) ::close(read_fd_);
  // A failing case shows what its processes printed.
  std::cerr << "--- output of " << name_ << " ---\n"
            << output() << "--- end of " << name_ << " ---\n";
}

void Process::readLoop() {
  char buf[4096];
  ssize_t n;
  while ((n = ::read(read_fd_, buf, sizeof buf)) > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    out_.append(buf, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
}

bool Process::running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

void Process::signal(int sig) {
  if (running()) ::kill(pid_, sig);
}

std::optional<int> Process::wait(Seconds timeout) {
  const auto end = Clock::now() + timeout;
  while (running()) {
    if (Clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

void Process::kill() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  status_ = 128 + SIGKILL;
}

std::string Process::output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

int Process::countOf(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (std::size_t at = out_.find(text); at != std::string::npos;
       at = out_.find(text, at + text.size()))
    ++n;
  return n;
}

bool Process::waitFor(const std::string& text, Seconds timeout, int count) {
  const auto end = Clock::now() + timeout;
  while (countOf(text) < count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_until(lock, end) == std::cv_status::timeout) {
      lock.unlock();
      return countOf(text) >= count;
    }
  }
  return true;
}

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

std::string programPath() { return VB_E2E_PROGRAM; }
std::string simPath() { return VB_E2E_SIM; }
std::string clientPath() { return VB_E2E_CLIENT; }
std::string uiRoot() { return VB_E2E_UI_ROOT; }

std::string truthFile() {
  static const std::string path = [] {
    const std::string file =
        (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : std::string("/tmp")) +
        "/vb_e2e_truth_" + std::to_string(::getpid()) + ".txt";
    Process truth("robot_sim --truth", {simPath(), "--truth"});
    truth.wait(Seconds(30));
    std::ofstream(file) << truth.output();
    return file;
  }();
  return path;
}

std::unique_ptr<Process> startProgram(int web_port, int controller_port) {
  auto p = std::make_unique<Process>(
      "vibration_test", std::vector<std::string>{programPath(), uiRoot()},
      std::map<std::string, std::string>{{"VB_WEB_PORT", std::to_string(web_port)},
                                         {"VB_CONTROLLER_PORT", std::to_string(controller_port)}});
  if (!p->waitFor("webserver start listen:" + std::to_string(web_port), Seconds(30)))
    std::cerr << "vibration_test did not report listening\n";
  return p;
}

std::unique_ptr<Process> startSim(int port, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {simPath(), "--port", std::to_string(port)};
  argv.insert(argv.end(), options.begin(), options.end());
  auto p = std::make_unique<Process>("robot_sim", argv);
  if (!p->waitFor("listening on 127.0.0.1:" + std::to_string(port), Seconds(30)))
    std::cerr << "robot_sim did not report listening\n";
  return p;
}

std::unique_ptr<Process> startClient(int web_port, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {clientPath(), "--port", std::to_string(web_port)};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Process>("vb_client", argv);
}

int runClient(int web_port, const std::vector<std::string>& args, Seconds timeout,
              std::string* output) {
  auto client = startClient(web_port, args);
  const std::optional<int> status = client->wait(timeout);
  if (output) *output = client->output();
  return status.value_or(-1);
}

Observer::Observer(int web_port) {
  std::string error;
  const auto end = Clock::now() + Seconds(20);
  while (!(connected_ = ws_.connect("127.0.0.1", web_port, 2.0, &error)) && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

bool Observer::update(rapidjson::Document* d) {
  std::string reply;
  if (!connected_ || !ws_.request(R"({"task":"update"})", &reply, 10.0)) return false;
  d->Parse(reply.c_str());
  return !d->HasParseError() && d->IsObject();
}

int Observer::testState() {
  rapidjson::Document d;
  return update(&d) ? stateOf(d) : -1;
}

double Observer::entry(const char* key, int joint) {
  rapidjson::Document d;
  return update(&d) ? entryOf(d, key, joint) : NAN;
}

bool Observer::waitForState(int state, Seconds timeout) {
  return waitUntil([state](const rapidjson::Document& d) { return stateOf(d) == state; }, timeout);
}

double entryOf(const rapidjson::Document& d, const char* key, int joint) {
  if (!d.IsObject() || !d.HasMember(key)) return NAN;
  const rapidjson::Value& a = d[key];
  if (!a.IsArray() || a.Size() <= static_cast<unsigned>(joint) || !a[joint].IsNumber()) return NAN;
  return a[joint].GetDouble();
}

int stateOf(const rapidjson::Document& d) {
  return d.IsObject() && d.HasMember("test_state") && d["test_state"].IsInt()
             ? d["test_state"].GetInt()
             : -1;
}

std::string depthName(Depth depth) { return depth == Depth::kFull ? "Full" : "Short"; }

bool traversalFoundOrders(const rapidjson::Document& d, int joint) {
  const auto truth = sim::groundTruth(sim::defaultJoints()[joint]);
  const char* keys[3] = {"max_vib_first_order", "max_vib_second_order", "max_vib_third_order"};
  if (stateOf(d) != 1 || !(entryOf(d, "max_vib_first_freq", joint) > 0) ||
      truth.components.size() != 3)
    return false;
  for (int k = 0; k < 3; ++k)
    if (std::lround(entryOf(d, keys[k], joint)) != truth.components[k].order) return false;
  return true;
}

void expectHealthy(Process& program) {
  EXPECT_TRUE(program.running()) << "the program ended";
  const std::string out = program.output();
  for (const char* bad : {"ThreadSanitizer", "AddressSanitizer", "runtime error:", "thread error!"})
    EXPECT_EQ(out.find(bad), std::string::npos) << "the program printed " << bad;
}

std::unique_ptr<Process> Operator::startRun(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"run"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"--timeout", std::to_string(identificationTimeout().count())});
  return startClient(web_port_, args);
}

std::unique_ptr<Process> Operator::startRun(int joint) {
  std::vector<std::string> options = {"--joint", std::to_string(joint)};
  if (depth_ == Depth::kFull) options.insert(options.end(), {"--truth", truthFile()});
  return startRun(options);
}

void Operator::finish(std::unique_ptr<Process> run, int joint, Observer& observer) {
  if (depth_ == Depth::kFull) {
    EXPECT_EQ(run->wait(identificationTimeout() + Seconds(30)), 0) << run->output();
    EXPECT_NE(run->output().find("result matches the simulator's ground truth"), std::string::npos)
        << run->output();
    return;
  }
  EXPECT_TRUE(observer.waitUntil(
      [&](const rapidjson::Document& d) { return traversalFoundOrders(d, joint); },
      identificationTimeout()))
      << "the traversal of joint " << joint << " did not find the simulator's orders";
  run->signal(SIGINT);
  EXPECT_EQ(run->wait(Seconds(30)), 130) << run->output();
  EXPECT_TRUE(observer.waitForState(0, Seconds(10)));
}

Seconds identificationTimeout() {
  // About 4 minutes without a sanitizer; the factor leaves room for a loaded machine.
  const char* factor = std::getenv("VB_E2E_TIME_FACTOR");
  const double f = factor ? std::atof(factor) : 0.0;
  return Seconds(600.0 * (f > 0 ? f : 1.0));
}

}  // namespace e2e
}  // namespace vb
