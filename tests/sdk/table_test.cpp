// Every forwarding method, run from one table: while unconnected, after the controller went
// away, and against the fake controller with two scripts of answers.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "fake_controller.h"
#include "method_table.h"

namespace vb::test {
namespace {

using OvraRPC::OvraCobot;

Script answersA() {
  Script s;
  s.i32 = 17;
  s.flag = true;
  s.real = 2.5;
  s.doubles = {0.5, -1.5, 2.25, 3.0, -4.0, 5.5};
  s.bytes = {-56, 3, 0, 1};
  s.shorts = {4, 40, 101};
  s.strings = {"first error", "second error"};
  s.str = "project";
  s.files = {{"a.prog", 1}, {"b.prog", 2}};
  return s;
}

// The opposite bool and empty containers: a reply of count 0 must leave the caller's list empty.
Script answersB() {
  Script s;
  s.i32 = -7;
  s.flag = false;
  s.real = -0.75;
  return s;
}

void expectAllFail(OvraCobot& cobot) {
  for (const auto& row : methodTable()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.call(cobot), row.failed);
  }
}

TEST(SdkMethodTable, CoversEveryForwardingMethodButTheStatusRecords) {
  std::set<std::string> names;
  for (const auto& row : methodTable()) names.insert(row.name);
  // 156 forwarding methods; getRobotStatus and getRobotIOStatus are tested with their records.
  EXPECT_EQ(names.size(), 154u);
}

TEST(SdkMethodTable, EveryMethodGivesItsErrorValueWhileUnconnected) {
  auto handler = std::make_shared<RecordingHandler>();
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());

  expectAllFail(cobot);

  EXPECT_FALSE(OvraRPC::last_error().empty());
  EXPECT_EQ(controller.accepted(), 0u) << "a call must not connect by itself";
  EXPECT_TRUE(handler->calls().empty());
}

TEST(SdkMethodTable, EveryMethodGivesItsErrorValueAfterTheControllerWentAway) {
  auto handler = std::make_shared<RecordingHandler>();
  handler->setScript(answersA());
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());
  ASSERT_EQ(cobot.open(), 0);
  ASSERT_EQ(cobot.stop(false), 17);

  controller.dropConnections();
  expectAllFail(cobot);
  // Twice: the first failing call finds the closed connection, later ones a broken one.
  expectAllFail(cobot);

  EXPECT_EQ(controller.accepted(), 1u) << "a failed call must not reconnect";
  EXPECT_EQ(handler->calls().size(), 1u);
}

TEST(SdkMethodTable, ArgumentsArriveUnchangedAndResultsComeBack) {
  auto handler = std::make_shared<RecordingHandler>();
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());
  ASSERT_EQ(cobot.open(), 0);

  for (const Script& script : {answersA(), answersB()}) {
    handler->setScript(script);
    for (const auto& row : methodTable()) {
      SCOPED_TRACE(row.name);
      handler->clearCalls();
      EXPECT_EQ(row.call(cobot), row.answered(script));
      EXPECT_EQ(handler->calls(), std::vector<std::string>{row.sent});
    }
  }
  EXPECT_EQ(controller.accepted(), 1u);
}

}  // namespace
}  // namespace vb::test
