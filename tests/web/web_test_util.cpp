#include "web_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Global.h"

namespace vb {
namespace webtest {

std::string fixture_root() { return VB_WEB_FIXTURE_ROOT; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void reset_shared_state() {
  namespace gv = GlobalValue;
  gv::vb_test_cmd = 0;
  gv::vb_test_mode = 0;
  gv::vb_high_speed_mode = false;
  for (auto& a : gv::vb_activate_param) a = false;
  std::lock_guard<std::mutex> lock(gv::table_mutex);
  gv::vb_test_state = 0;
  gv::robot_motor_pole_pair.assign(gv::kJoints, 8);
  gv::robot_stator_slots.assign(gv::kJoints, 18);
  gv::robot_axis_ratio.assign(gv::kJoints, 101);
  std::memset(gv::vb_feat_freq_order, 0, sizeof gv::vb_feat_freq_order);
  for (double* t :
       {gv::vb_max_vib_target_vel, gv::vb_first_freq, gv::vb_second_freq, gv::vb_third_freq,
        gv::vb_first_freq_vib_amp, gv::vb_second_freq_vib_amp, gv::vb_third_freq_vib_amp,
        gv::vb_first_optimum_phase, gv::vb_second_optimum_phase, gv::vb_third_optimum_phase,
        gv::vb_first_optimum_current, gv::vb_second_optimum_current, gv::vb_third_optimum_current,
        gv::vb_first_optimum_amp, gv::vb_second_optimum_amp, gv::vb_third_optimum_amp}) {
    std::fill(t, t + gv::kJoints, 0.0);
  }
  for (unsigned* t :
       {gv::vb_first_order, gv::vb_second_order, gv::vb_third_order, gv::vb_first_feat_order,
        gv::vb_second_feat_order, gv::vb_third_feat_order, gv::vb_first_servo_param,
        gv::vb_second_servo_param, gv::vb_third_servo_param}) {
    std::fill(t, t + gv::kJoints, 0u);
  }
}

StdoutCapture::StdoutCapture() {
  std::cout.flush();
  std::fflush(stdout);
  int fds[2];
  if (::pipe(fds) != 0) return;
  saved_fd_ = ::dup(1);
  ::dup2(fds[1], 1);
  ::close(fds[1]);
  read_fd_ = fds[0];
  reader_ = std::thread([this] { read_loop(); });
}

StdoutCapture::~StdoutCapture() {
  if (saved_fd_ < 0) return;
  std::cout.flush();
  std::fflush(stdout);
  // Restoring fd 1 closes the pipe's last write end, so the reader sees the end.
  ::dup2(saved_fd_, 1);
  reader_.join();
  ::close(read_fd_);
  ::close(saved_fd_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!all_.empty()) std::cerr << "--- captured stdout ---\n" << all_ << "--- end ---\n";
}

void StdoutCapture::read_loop() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(read_fd_, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(buf, static_cast<std::size_t>(n));
    all_.append(buf, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
}

std::string StdoutCapture::text() {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

bool StdoutCapture::wait_for(const std::string& needle) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return text_.find(needle) != std::string::npos; });
}

std::optional<std::string> StdoutCapture::take_until(const std::string& needle) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::seconds(10),
                         [&] { return text_.find(needle) != std::string::npos; })) {
    return std::nullopt;
  }
  const std::size_t at = text_.find(needle);
  std::string before = text_.substr(0, at);
  text_.erase(0, at + needle.size());
  return before;
}

namespace {

// Sends `request` over a fresh TCP connection to 127.0.0.1:port and reads until the server closes
// or, when `until` is not empty, until the reply holds it. Nothing when the exchange failed.
std::optional<std::string> loopback_exchange(unsigned short port, const std::string& request,
                                             const std::string& until = "") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  timeval tv{10, 0};  // a server that never answers fails the test instead of hanging it
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return std::nullopt;
  }
  std::string raw;
  char buf[4096];
  ssize_t n;
  while ((until.empty() || raw.find(until) == std::string::npos) &&
         (n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
    raw.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return raw;
}

}  // namespace

std::optional<int> websocket_upgrade_status(unsigned short port, const std::string& origin,
                                            const std::string& host) {
  std::string request =
      "GET / HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
      "Sec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) request += "Origin: " + origin + "\r\n";
  request += "\r\n";
  const std::optional<std::string> raw = loopback_exchange(port, request, "\r\n\r\n");
  if (!raw || raw->compare(0, 9, "HTTP/1.1 ") != 0 || raw->size() < 12) return std::nullopt;
  return std::stoi(raw->substr(9, 3));
}

std::optional<HttpResponse> http_request(unsigned short port, const std::string& method,
                                         const std::string& target) {
  const std::optional<std::string> reply = loopback_exchange(
      port, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                "\r\nConnection: close\r\n\r\n");
  if (!reply) return std::nullopt;
  const std::string& raw = *reply;

  const std::size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return std::nullopt;
  HttpResponse r;
  r.status = std::stoi(raw.substr(9, 3));
  std::size_t line = raw.find("\r\n") + 2;
  while (line < head_end) {
    const std::size_t eol = raw.find("\r\n", line);
    const std::string h = raw.substr(line, eol - line);
    const std::size_t colon = h.find(':');
    if (colon != std::string::npos) {
      std::string name = h.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::size_t v = colon + 1;
      while (v < h.size() && h[v] == ' ') ++v;
      r.headers[name] = h.substr(v);
    }
    line = eol + 2;
  }
  r.body = raw.substr(head_end + 4);
  return r;
}

std::optional<HttpResponse> first_answer(unsigned short port, const std::string& target) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    auto reply = http_request(port, "GET", target);
    if (reply || std::chrono::steady_clock::now() > until) return reply;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool port_in_use(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool in_use = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return in_use;
}

RunningServer::RunningServer() {
  // rootPath is read by every running web thread: write it once, before the first starts.
  static std::once_flag root_once;
  std::call_once(root_once, [] { GlobalValue::rootPath = fixture_root(); });
  server = std::make_unique<WebServer>(0);
  server->run();
  port = server->listening_port();
}

}  // namespace webtest
}  // namespace vb
