#include "raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>

namespace vb {
namespace test {

RawConnection::RawConnection(int port, const std::string& from, int receive_buffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // A server that stops reading must fail the test, not hang it.
  timeval send_timeout{30, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  if (receive_buffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  if (!from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

std::string RawConnection::read(std::chrono::duration<double> timeout, const std::string& until) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
  while (fd_ >= 0 && !closed_ && Clock::now() < end &&
         (until.empty() || in_.find(until) == std::string::npos)) {
    pollfd p{fd_, POLLIN, 0};
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (::poll(&p, 1, left > 0 ? left : 0) <= 0) break;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed_ = true;
      break;
    }
    in_.append(buf, static_cast<std::size_t>(n));
  }
  return in_;
}

std::size_t RawConnection::readSome(std::size_t most, std::chrono::duration<double> timeout) {
  pollfd p{fd_, POLLIN, 0};
  const int wait_ms =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count());
  if (fd_ < 0 || closed_ || most == 0 || ::poll(&p, 1, wait_ms) <= 0) return 0;
  const std::size_t before = in_.size();
  in_.resize(before + most);
  const ssize_t n = ::recv(fd_, in_.data() + before, most, 0);
  in_.resize(before + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n <= 0) closed_ = true;
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string websocketUpgrade(int port) {
  return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::string shortTextFrame(const std::string& payload) {
  std::string f;
  f += static_cast<char>(0x81);
  f += static_cast<char>(0x80 | (payload.size() & 0x7f));
  f.append(4, '\0');  // the zero mask leaves the payload as it is
  return f + payload;
}

}  // namespace test
}  // namespace vb
