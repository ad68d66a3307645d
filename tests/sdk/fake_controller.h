// A fake robot controller: the generated RPCRobotProcessor over real TCP on 127.0.0.1, at a port
// the system picks, one thread per connection. It can drop its connections while it keeps
// listening, so a test can see that a client does not come back on its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "recording_handler.h"

namespace vb::test {

class FakeController {
 public:
  explicit FakeController(std::shared_ptr<RecordingHandler> handler);
  ~FakeController();
  FakeController(const FakeController&) = delete;
  FakeController& operator=(const FakeController&) = delete;

  uint16_t port() const { return port_; }
  // Connections accepted since construction.
  size_t accepted() const { return accepted_.load(); }
  // Closes every connection accepted so far (a client whose first call has been answered has
  // been accepted); new ones are still accepted.
  void dropConnections();

 private:
  void acceptLoop();
  void serve(int fd);

  std::shared_ptr<RecordingHandler> handler_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::mutex mutex_;
  std::set<int> open_;  // connection sockets not yet closed, guarded by mutex_
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace vb::test
