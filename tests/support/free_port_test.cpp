// Test ports: one handed out is nobody else's while its holder lives, in this process or in a
// test process beside it, and is free again once the holder has ended.
#include "free_port.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "raw_reply_server.h"

namespace {

constexpr int kLo = 12000;
constexpr int kHi = 19999;

// What `body` returns, run in a child process (a test process beside this one).
int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FreePort, HeldPortIsNotHandedOutAgain) {
  const int port = vb::test::freePortIn(kLo, kHi);
  ASSERT_NE(port, 0);
  EXPECT_EQ(vb::test::freePortIn(port, port), 0) << "the same process got it twice";
  EXPECT_EQ(inChild([port] { return vb::test::freePortIn(port, port) == 0 ? 0 : 1; }), 0)
      << "a process beside the holder got it";
}

TEST(FreePort, PortIsFreeAgainOnceItsHolderHasEnded) {
  // The child finds a port and says which (exit codes carry 8 bits: an offset into the range).
  const int offset = inChild([] {
    const int p = vb::test::freePortIn(kLo, kLo + 200);
    return p == 0 ? 255 : p - kLo;
  });
  ASSERT_NE(offset, 255);
  ASSERT_GE(offset, 0);
  const int port = kLo + offset;
  EXPECT_EQ(vb::test::freePortIn(port, port), port);
}

TEST(FreePort, PortThatABindingServerHoldsIsNotHandedOut) {
  const vb::test::RawReplyServer server;  // listening at a port the system picked
  EXPECT_EQ(vb::test::freePortIn(server.port(), server.port()), 0);
}

}  // namespace
