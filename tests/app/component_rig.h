// The real test component on a slave activity, against the in-process simulated controller over
// loopback TCP: each cycle() is one control cycle and one tick of the simulator's clock.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <rtt/extras/SlaveActivity.hpp>
#include <string>
#include <thread>
#include <utility>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "free_port.h"
#include "sim/SimController.h"

namespace vb::test {

inline sockaddr_in loopback(unsigned port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// Waits for a condition with a deadline; whether it came true.
inline bool waitFor(std::function<bool()> const& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A loopback port that refuses connections: bound, never listening, for as long as it lives.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr = loopback(0);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort() { ::close(fd_); }
  unsigned port() const { return port_; }

 private:
  int fd_;
  unsigned port_ = 0;
};

inline void resetCommands() {
  GlobalValue::vb_test_cmd = 0;
  GlobalValue::vb_test_mode = 0;
  GlobalValue::vb_high_speed_mode = false;
  for (auto& request : GlobalValue::vb_activate_param) request = false;
}

// Component is the test component or a class derived from it.
template <class Component = VibrationTestHandler>
class BasicRig {
 public:
  explicit BasicRig(sim::SimConfig config = sim::SimConfig(), bool configure = true)
      : sim(std::move(config)) {
    resetCommands();
    port = static_cast<unsigned>(vb::test::startOnRestartPort(sim));
    handler = std::make_unique<Component>("hello", "127.0.0.1", port);
    activity = new RTT::extras::SlaveActivity(0.004);
    EXPECT_TRUE(handler->setActivity(activity));
    if (configure) configureAndStart();
  }
  ~BasicRig() {
    handler.reset();
    sim.stop();
    resetCommands();
  }

  void configureAndStart() {
    EXPECT_TRUE(handler->configure());
    EXPECT_TRUE(handler->start());
  }

  void cycle(int n = 1) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(activity->execute());
  }

  // Cycles until done() holds after one; how many ran, or -1 if it did not within max_cycles.
  long runUntil(std::function<bool()> const& done, long max_cycles) {
    for (long n = 1; n <= max_cycles; ++n) {
      if (!activity->execute()) return -1;
      if (done()) return n;
    }
    return -1;
  }

  void restartController() { ASSERT_EQ(sim.start(static_cast<int>(port)), static_cast<int>(port)); }

  sim::SimController sim;
  unsigned port = 0;
  std::unique_ptr<Component> handler;
  RTT::extras::SlaveActivity* activity = nullptr;  // owned by the component
};

using Rig = BasicRig<>;

}  // namespace vb::test
