// Helpers of the web tests: stdout capture at file-descriptor level (the server prints from its
// own thread with both stdio and iostreams), a raw HTTP client that sends the request target
// exactly as given, and a server running on a free port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "WebServer.h"

namespace vb {
namespace webtest {

// Root directory of the UI fixture (its run/dist holds the files).
std::string fixture_root();
std::string read_file(const std::string& path);
// Puts vb::GlobalValue back to its start values, so tests do not depend on their order.
void reset_shared_state();

// Redirects fd 1 into a pipe for its lifetime; what was captured is echoed to stderr at the end,
// so a failing test still shows it.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text();
  // Waits (up to 10 s) until the text holds `needle`; false when it never did.
  bool wait_for(const std::string& needle);
  // Waits for `needle`, then returns everything before it and drops it and what precedes it.
  std::optional<std::string> take_until(const std::string& needle);

 private:
  void read_loop();

  int saved_fd_ = -1;
  int read_fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::string all_;
};

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// One request over a fresh TCP connection to 127.0.0.1:port, read until the server closes.
std::optional<HttpResponse> http_request(unsigned short port, const std::string& method,
                                         const std::string& target);

// The first answer of a server that is about to listen: the request again until one comes or
// 20 s have passed.
std::optional<HttpResponse> first_answer(unsigned short port, const std::string& target);

// Whether something accepts TCP connections on 127.0.0.1:port.
bool port_in_use(int port);

// The HTTP status with which the server answers a websocket upgrade that carries this Origin
// (none when empty) and this Host (127.0.0.1:port when empty).
std::optional<int> websocket_upgrade_status(unsigned short port, const std::string& origin,
                                            const std::string& host = "");

// A WebServer on a free port with rootPath set to the fixture.
struct RunningServer {
  RunningServer();
  std::unique_ptr<WebServer> server;
  unsigned short port = 0;
};

}  // namespace webtest
}  // namespace vb
