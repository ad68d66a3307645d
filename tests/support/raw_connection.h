// A plain TCP connection to 127.0.0.1:port, for bytes no well-behaved client sends: broken
// requests, idle connections, a client that sends and never reads.
#pragma once

#include <chrono>
#include <string>

namespace vb {
namespace test {

class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool ok() const { return fd_ >= 0; }
  // False once the peer has closed (a refused message may end the connection mid-send), or when
  // the peer has taken nothing for 30 s.
  bool send(const std::string& bytes);
  // Reads until what came holds `until` (with an empty one: until the peer closes), or the
  // time-out passes; returns all that came so far.
  std::string read(std::chrono::duration<double> timeout, const std::string& until = "");
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
  std::string in_;
};

// A websocket upgrade request without Origin, as a non-browser client sends it.
std::string websocketUpgrade(int port);
// A masked client text frame of a payload under 126 bytes.
std::string shortTextFrame(const std::string& payload);

}  // namespace test
}  // namespace vb
