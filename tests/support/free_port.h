// A TCP port that binds now, taken from [lo, hi]. Test ranges stay below the kernel's range for
// outgoing connections (32768 up by default), so that no client socket of a test running beside
// this one can take the port between this check and the bind of the process that uses it.
//
// A port handed out is also reserved, for the life of the test process, by a lock on a file
// named after it: two tests running side by side (the sanitizer builds' end-to-end runs share the
// machine) could otherwise both find a port free before either binds it.
#pragma once

#include <stdexcept>

namespace vb {
namespace test {

// 0 when no port of the range binds.
int freePortIn(int lo, int hi);

// Tests that stop a server and take its port again (a dropped or restarted controller) need a
// port that no other test picks meanwhile: not one of the kernel's, and not a random one of a
// shared range. Each process starts at its own place in this range (test processes running side
// by side have nearby ids) and moves on when the port does not bind.
constexpr int kRestartPortsLo = 8000;
constexpr int kRestartPortsHi = 11599;

int restartPortCandidate(int attempt);

// Reserves `port` for this process, or says that another test process holds it.
bool reservePort(int port);

// Starts `server` (anything with `int start(int port)` that throws when the port does not bind).
template <class Server>
int startOnRestartPort(Server& server) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int port = restartPortCandidate(attempt);
    if (!reservePort(port)) continue;
    try {
      return server.start(port);
    } catch (const std::runtime_error&) {
    }
  }
  throw std::runtime_error("no free port in the restart range");
}

}  // namespace test
}  // namespace vb
