// A plain TCP connection to 127.0.0.1:port, for bytes no well-behaved client sends: broken
// requests, idle connections, a client that sends and never reads.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace vb {
namespace test {

class RawConnection {
 public:
  // `from`: the local address to connect from ("127.0.0.2"; any loopback address works), so
  // that a test can stand for several clients; empty: the kernel's choice. `receive_buffer`:
  // the socket's receive buffer in bytes (0: the kernel's), small for a client that reads
  // slowly and should not have the whole answer sitting in its kernel buffer.
  explicit RawConnection(int port, const std::string& from = "", int receive_buffer = 0);
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
  // Reads at most `most` bytes more, waiting up to `timeout` for any; how many came.
  std::size_t readSome(std::size_t most, std::chrono::duration<double> timeout);
  // All that came so far.
  const std::string& received() const { return in_; }
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
