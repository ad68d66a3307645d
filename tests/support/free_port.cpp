#include "free_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>

namespace vb {
namespace test {

int freePortIn(int lo, int hi) {
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(lo, hi);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int port = pick(random);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (free) return port;
  }
  return 0;
}

int restartPortCandidate(int attempt) {
  const int span = kRestartPortsHi - kRestartPortsLo + 1;
  // A stride that shares no factor with the span, so that neighbouring processes' later
  // attempts do not walk onto each other's first ones.
  return kRestartPortsLo +
         static_cast<int>((static_cast<long>(::getpid()) + 997L * attempt) % span);
}

}  // namespace test
}  // namespace vb
