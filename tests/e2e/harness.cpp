#include "harness.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "free_port.h"

namespace vb {
namespace e2e {

// The end-to-end cases take their ports from 20000 up; the web process tests from 12000.
int freePort() { return test::freePortIn(20000, 32000); }

std::string programPath() { return VB_E2E_PROGRAM; }
std::string simPath() { return VB_E2E_SIM; }
std::string clientPath() { return VB_E2E_CLIENT; }
std::string uiRoot() { return VB_E2E_UI_ROOT; }

std::string truthFile() {
  static const std::string path = [] {
    const std::string file =
        (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : std::string("/tmp")) +
        "/vb_e2e_truth_" + std::to_string(::getpid()) + ".txt";
    Process truth("robot_sim --truth", {simPath(), "--layout", "high-speed", "--truth"});
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
  // The client runs high-speed identifications: the arm laid out for them.
  std::vector<std::string> argv = {simPath(), "--port", std::to_string(port), "--layout",
                                   "high-speed"};
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

int httpStatus(const std::string& response) {
  int status = 0;
  std::istringstream in(response);
  std::string version;
  in >> version >> status;
  return version.rfind("HTTP/", 0) == 0 ? status : 0;
}

std::string httpBody(const std::string& response) {
  const std::size_t head = response.find("\r\n\r\n");
  return head == std::string::npos ? std::string() : response.substr(head + 4);
}

std::string httpGet(int port, const std::string& target, Seconds timeout) {
  RawConnection c(port);
  if (!c.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return {};
  return c.read(timeout);
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

Seconds identificationTimeout() {
  // About 4 minutes without a sanitizer; the factor leaves room for a loaded machine.
  const char* factor = std::getenv("VB_E2E_TIME_FACTOR");
  const double f = factor ? std::atof(factor) : 0.0;
  return Seconds(600.0 * (f > 0 ? f : 1.0));
}

}  // namespace e2e
}  // namespace vb
