// Construction, open, close and get_version.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_controller.h"

namespace vb::test {
namespace {

using OvraRPC::OvraCobot;

// A loopback port on which nothing listens (bound once, then released).
uint16_t closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(SdkConnection, OpenFailsWhereNothingListens) {
  OvraCobot cobot("127.0.0.1", closedPort());
  EXPECT_EQ(cobot.open(), -1);
  EXPECT_NE(OvraRPC::last_error().find("Connection refused"), std::string::npos)
      << OvraRPC::last_error();
  EXPECT_EQ(cobot.get_version(), "2.9.0");
}

TEST(SdkConnection, CloseWhileUnconnectedSucceeds) {
  OvraCobot cobot("127.0.0.1", closedPort());
  EXPECT_EQ(cobot.close(), 0);
}

TEST(SdkConnection, OpenCloseAndOpenAgain) {
  auto handler = std::make_shared<RecordingHandler>();
  Script script;
  script.i32 = 5;
  handler->setScript(script);
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());

  EXPECT_EQ(cobot.get_version(), "2.9.0");
  ASSERT_EQ(cobot.open(), 0);
  EXPECT_EQ(cobot.get_version(), "2.9.0");
  EXPECT_EQ(cobot.stop(false), 5);
  EXPECT_EQ(cobot.close(), 0);
  EXPECT_EQ(cobot.stop(false), -1) << "a closed client must not reconnect by itself";
  EXPECT_EQ(controller.accepted(), 1u);

  ASSERT_EQ(cobot.open(), 0);
  EXPECT_EQ(cobot.stop(true), 5);
  EXPECT_EQ(controller.accepted(), 2u);
  EXPECT_EQ(handler->calls(), (std::vector<std::string>{"stop(false)", "stop(true)"}));
}

// A request larger than the transport's buffer that fails half written must not reach the next
// connection: the controller would read its first bytes and wait for the rest, for ever.
TEST(SdkConnection, AFailedLargeRequestDoesNotReachTheNextConnection) {
  auto handler = std::make_shared<RecordingHandler>();
  Script script;
  script.i32 = 5;
  handler->setScript(script);
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());

  EXPECT_EQ(cobot.set_system_value_str("name", std::string(2000, 'x')), -1);
  ASSERT_EQ(cobot.open(), 0);
  EXPECT_EQ(cobot.stop(false), 5);
  EXPECT_EQ(handler->calls(), std::vector<std::string>{"stop(false)"});
}

// After the controller went away with a large request half written, close still disconnects, so
// that open connects anew.
TEST(SdkConnection, CloseAfterABrokenConnectionLetsOpenConnectAgain) {
  auto handler = std::make_shared<RecordingHandler>();
  Script script;
  script.i32 = 5;
  handler->setScript(script);
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());
  ASSERT_EQ(cobot.open(), 0);
  ASSERT_EQ(cobot.stop(false), 5);  // the controller has taken the connection
  controller.dropConnections();
  EXPECT_EQ(cobot.stop(false), -1);
  EXPECT_EQ(cobot.set_system_value_str("name", std::string(2000, 'x')), -1);

  cobot.close();
  ASSERT_EQ(cobot.open(), 0);
  EXPECT_EQ(cobot.stop(true), 5);
  EXPECT_EQ(controller.accepted(), 2u);
  EXPECT_EQ(handler->calls(), (std::vector<std::string>{"stop(false)", "stop(true)"}));
}

}  // namespace
}  // namespace vb::test
