#include "free_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>

namespace vb {
namespace test {

namespace {

bool bindsNow(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return free;
}

}  // namespace

bool reservePort(int port) {
  // One directory for every build's tests, whatever TMPDIR each run sets.
  const std::string path = "/tmp/vb_test_port_" + std::to_string(port) + ".lock";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  // Without a lock file the bind check alone has to do.
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  // Held open until the process ends, which releases the lock however it ends. Separate opens
  // conflict within one process too, so one test never gets the same port twice.
  return true;
}

int freePortIn(int lo, int hi) {
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(lo, hi);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int port = pick(random);
    if (reservePort(port) && bindsNow(port)) return port;
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
