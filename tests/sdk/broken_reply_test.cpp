// Replies that the generated server never sends, written byte by byte by the raw-socket fake:
// missing results, results of the wrong wire type, exception replies, lengths far beyond what the
// controller sends, and a status record that lacks a required field.
#include <gtest/gtest.h>
#include <raw_reply_server.h>
#include <thrift/protocol/TProtocol.h>

#include <functional>
#include <string>

#include "method_table.h"

namespace vb::test {
namespace {

using apache::thrift::protocol::T_BOOL;
using apache::thrift::protocol::T_BYTE;
using apache::thrift::protocol::T_DOUBLE;
using apache::thrift::protocol::T_EXCEPTION;
using apache::thrift::protocol::T_I32;
using apache::thrift::protocol::T_I64;
using apache::thrift::protocol::T_LIST;
using apache::thrift::protocol::T_MAP;
using apache::thrift::protocol::T_REPLY;
using apache::thrift::protocol::T_STRING;
using apache::thrift::protocol::T_STRUCT;
using OvraRPC::OvraCobot;

constexpr int32_t kStringLimit = 16 * 1024 * 1024;
constexpr int32_t kContainerLimit = 1000000;

WireBytes reply(const std::string& method) { return WireBytes().message(method, T_REPLY, 0); }

bool isVoid(const MethodRow& row) { return row.failed.empty() && row.answered(Script{}).empty(); }

// Runs the whole table against one kind of broken reply, each row on the same connection.
void expectTableFails(const std::function<std::string(const std::string&)>& brokenReply,
                      const std::function<std::string(const MethodRow&)>& expectedText) {
  RawReplyServer server;
  OvraCobot cobot("127.0.0.1", server.port());
  ASSERT_EQ(cobot.open(), 0);
  for (const auto& row : methodTable()) {
    SCOPED_TRACE(row.name);
    server.pushReply(brokenReply(row.name));
    EXPECT_EQ(row.call(cobot), row.failed);
    if (!isVoid(row)) {
      EXPECT_EQ(OvraRPC::last_error(), expectedText(row));
    }
  }
  EXPECT_EQ(server.pendingReplies(), 0u);
}

TEST(SdkBrokenReply, AReplyWithoutResultGivesTheErrorValue) {
  expectTableFails([](const std::string& name) { return reply(name).stop().bytes(); },
                   [](const MethodRow& row) { return row.name + " failed: unknown result"; });
}

TEST(SdkBrokenReply, AResultOfAnotherWireTypeGivesTheErrorValue) {
  // No method returns an i64, so field 0 is skipped and the result counts as missing.
  expectTableFails(
      [](const std::string& name) { return reply(name).field(T_I64, 0).i64(5).stop().bytes(); },
      [](const MethodRow& row) { return row.name + " failed: unknown result"; });
}

TEST(SdkBrokenReply, AnExceptionReplyGivesTheErrorValueWithItsMessage) {
  expectTableFails(
      [](const std::string& name) {
        return WireBytes()
            .message(name, T_EXCEPTION, 0)
            .field(T_STRING, 1)
            .str("controller refuses")
            .field(T_I32, 2)
            .i32(6)
            .stop()
            .bytes();
      },
      [](const MethodRow&) { return std::string("controller refuses"); });
}

// One call against one hand-made reply; the observed text as in the method table.
struct OneReply {
  const char* what;
  std::string bytes;
  std::function<std::string(OvraCobot&)> call;
  std::string observed;
  std::string error;  // the kept error text, or empty when the call succeeds
};

TEST(SdkBrokenReply, LengthsBeyondTheLimitsFailAtOnceAndLengthsWithinThemArrive) {
  const std::string sizeLimit = "TProtocolException: Exceeded size limit";
  std::string mebibyte(1024 * 1024, 'x');
  WireBytes manyDoubles =
      reply("get_actual_joints_position").field(T_LIST, 0).list(T_DOUBLE, 100000);
  for (int i = 0; i < 100000; ++i) manyDoubles.dbl(0.5);
  manyDoubles.stop();

  const std::vector<OneReply> cases = {
      // The length fields promise more than the limits and nothing follows: without the limits
      // the client would allocate and then wait for bytes that never come. A container that the
      // reader had begun to fill keeps what the reader left, kept out-parameter or not.
      {"string", reply("get_current_project").field(T_STRING, 0).i32(kStringLimit + 1).bytes(),
       [](OvraCobot& c) {
         std::string s = "old";
         c.get_current_project(s);
         return s;
       },
       "old", sizeLimit},
      {"list of doubles",
       reply("get_actual_joints_position")
           .field(T_LIST, 0)
           .list(T_DOUBLE, kContainerLimit + 1)
           .bytes(),
       [](OvraCobot& c) {
         std::vector<double> v{1.0};
         c.get_actual_joints_position(v);
         return text(v);
       },
       "[]", sizeLimit},
      {"list of bytes", reply("get_robot_state").field(T_LIST, 0).list(T_BYTE, 50000000).bytes(),
       [](OvraCobot& c) {
         std::vector<signed char> v{1};
         c.get_robot_state(v);
         return text(v);
       },
       "[]", sizeLimit},
      {"map",
       reply("get_files_list").field(T_MAP, 0).map(T_STRING, T_I32, kContainerLimit + 1).bytes(),
       [](OvraCobot& c) {
         std::map<std::string, int> m{{"old", 9}};
         c.get_files_list(m, "/");
         return text(m);
       },
       "{}", sizeLimit},
      {"string in a list",
       reply("get_last_error").field(T_LIST, 0).list(T_STRING, 1).i32(0x7FFFFFFF).bytes(),
       [](OvraCobot& c) {
         std::vector<std::string> v{"old"};
         c.get_last_error(v);
         return text(v);
       },
       "[\"\"]", sizeLimit},
      {"string of 1 MiB",
       reply("get_current_project").field(T_STRING, 0).str(mebibyte).stop().bytes(),
       [](OvraCobot& c) {
         std::string s;
         c.get_current_project(s);
         return std::to_string(s.size());
       },
       std::to_string(mebibyte.size()), ""},
      {"100000 doubles", manyDoubles.bytes(),
       [](OvraCobot& c) {
         std::vector<double> v;
         c.get_actual_joints_position(v);
         return std::to_string(v.size());
       },
       "100000", ""},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.what);
    RawReplyServer server;
    server.pushReply(one.bytes);
    OvraCobot cobot("127.0.0.1", server.port());
    ASSERT_EQ(cobot.open(), 0);
    EXPECT_EQ(one.call(cobot), one.observed);
    if (!one.error.empty()) {
      EXPECT_EQ(OvraRPC::last_error(), one.error);
    }
  }
}

// A RobotStatus with every field but robotError, which the struct requires.
std::string statusWithoutRobotError() {
  WireBytes b = reply("getRobotStatus").field(T_STRUCT, 0);
  for (int16_t id = 1; id <= 15; ++id) {
    b.field(T_LIST, id).list(T_DOUBLE, 6);
    for (int j = 0; j < 6; ++j) b.dbl(id + j / 10.0);
  }
  b.field(T_LIST, 16).list(T_BOOL, 12);
  for (int j = 0; j < 12; ++j) b.boolean(true);
  b.field(T_BOOL, 17).boolean(true).field(T_BYTE, 18).i8(4).field(T_BOOL, 19).boolean(true);
  b.field(T_BYTE, 20).i8(5).stop();  // end of RobotStatus, without field 21
  return b.stop().bytes();
}

TEST(SdkBrokenReply, AStatusRecordWithoutARequiredFieldLeavesListsEmptyAndSingleValues) {
  RawReplyServer server;
  server.pushReply(statusWithoutRobotError());
  OvraCobot cobot("127.0.0.1", server.port());
  ASSERT_EQ(cobot.open(), 0);

  OvraRPC::RobotStatusList status;
  status.jointActualPosition = {9.0, 9.0};
  status.cartActualAccelera = {9.0};
  status.slaveReady = {false};
  status.collision = false;
  status.collisionAxis = -3;
  status.emcStopSignal = false;
  status.robotState = -4;
  status.robotError = 1234;
  cobot.getRobotStatus(status);

  EXPECT_TRUE(status.jointActualPosition.empty());
  EXPECT_TRUE(status.cartActualAccelera.empty());
  EXPECT_TRUE(status.slaveReady.empty());
  EXPECT_FALSE(status.collision);
  EXPECT_EQ(status.collisionAxis, -3);
  EXPECT_FALSE(status.emcStopSignal);
  EXPECT_EQ(status.robotState, -4);
  EXPECT_EQ(status.robotError, 1234);
  EXPECT_NE(OvraRPC::last_error().find("Invalid data"), std::string::npos) << OvraRPC::last_error();
}

// Bytes that a reply left unread belong to that connection only: after close and open the next
// call reads its own reply.
TEST(SdkBrokenReply, UnreadBytesDoNotOutliveTheirConnection) {
  RawReplyServer server;
  OvraCobot cobot("127.0.0.1", server.port());
  ASSERT_EQ(cobot.open(), 0);
  server.pushReply(reply("stop").field(T_I32, 0).i32(1).stop().raw("garbage").bytes());
  EXPECT_EQ(cobot.stop(false), 1);

  EXPECT_EQ(cobot.close(), 0);
  ASSERT_EQ(cobot.open(), 0);
  server.pushReply(reply("stop").field(T_I32, 0).i32(2).stop().bytes());
  EXPECT_EQ(cobot.stop(false), 2) << OvraRPC::last_error();
}

}  // namespace
}  // namespace vb::test
