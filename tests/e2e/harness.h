// End-to-end harness: the program, the simulated controller and the operator client as real
// processes on free ports, so that the cases (and the load benchmark) run in parallel. Every wait
// has a deadline and every process is killed when its handle goes, so a failing case still ends and
// cleans up.
#pragma once

#include <rapidjson/document.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "WsClient.h"
#include "process.h"
#include "raw_connection.h"

namespace vb {
namespace e2e {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

using test::Process;

// A TCP port on 127.0.0.1 that nothing listens on (bound and released, so it is free unless
// someone takes it in between).
int freePort();

std::string programPath();
std::string simPath();
std::string clientPath();
std::string uiRoot();
// robot_sim --truth, written once per test process to a file; its path.
std::string truthFile();

// vibration_test with its web and controller ports; waits until it listens.
std::unique_ptr<Process> startProgram(int web_port, int controller_port);
// robot_sim on the port with extra options; waits until it listens.
std::unique_ptr<Process> startSim(int port, const std::vector<std::string>& options = {});
// vb_client with the arguments after the port.
std::unique_ptr<Process> startClient(int web_port, const std::vector<std::string>& args);
// Runs vb_client to its end; its exit status (-1 at the deadline) and its output.
int runClient(int web_port, const std::vector<std::string>& args, Seconds timeout,
              std::string* output = nullptr);

// A plain TCP connection, for bytes no well-behaved client sends.
using test::RawConnection;

// The status code of an HTTP response (0 when it is none) and its body.
int httpStatus(const std::string& response);
std::string httpBody(const std::string& response);
// One GET over a fresh connection, read until the server closes; the whole response.
std::string httpGet(int port, const std::string& target, Seconds timeout);

// An operator's view of the program: one websocket connection polling "update".
class Observer {
 public:
  explicit Observer(int web_port);
  bool connected() const { return connected_; }
  // One "update" reply, parsed; false when there was none.
  bool update(rapidjson::Document* d);
  int testState();                           // -1 without a reply
  double entry(const char* key, int joint);  // NaN without a reply
  // Polls until pred(update) holds; false at the deadline.
  template <class Pred>
  bool waitUntil(Pred pred, Seconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      rapidjson::Document d;
      if (update(&d) && pred(d)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool waitForState(int state, Seconds timeout);

 private:
  tools::WsClient ws_;
  bool connected_ = false;
};

// A number of an "update" reply's per-joint array (NaN when it is missing).
double entryOf(const rapidjson::Document& d, const char* key, int joint);
int stateOf(const rapidjson::Document& d);

// Durations of one high-speed identification of one joint: with the sanitizers the control
// cycle runs late more often, and the simulated clock follows the cycles.
Seconds identificationTimeout();

}  // namespace e2e
}  // namespace vb
