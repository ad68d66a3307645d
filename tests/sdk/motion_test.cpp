// The motion options: the default op_, change_param, and what a motion call sends.
#include <gtest/gtest.h>

#include <memory>

#include "fake_controller.h"

namespace vb::test {
namespace {

using OvraRPC::OvraCobot;

TEST(SdkMotionOptions, DefaultOptionsSetOnlyTheTriggerIos) {
  const OvraRPC::OP& op = OvraCobot::op_;
  EXPECT_EQ(op.time_or_dist_1, 0);
  EXPECT_EQ(op.trig_io_1, 1);
  EXPECT_FALSE(op.trig_value_1);
  EXPECT_EQ(op.trig_time_1, 0.0);
  EXPECT_EQ(op.trig_dist_1, 0.0);
  EXPECT_EQ(op.trig_event_1, "");
  EXPECT_EQ(op.time_or_dist_2, 0);
  EXPECT_EQ(op.trig_io_2, 1);
  EXPECT_FALSE(op.trig_value_2);
  EXPECT_EQ(op.trig_time_2, 0.0);
  EXPECT_EQ(op.trig_dist_2, 0.0);
  EXPECT_EQ(op.trig_event_2, "");
}

TEST(SdkMotionOptions, ChangeParamCopiesEveryFieldIntoItsOwnPlace) {
  const OvraRPC::OP op{-2, 3, true, 0.125, 0.375, "first", 4, -5, false, 0.625, 0.875, "second"};
  const Op wire = OvraRPC::change_param(op);
  EXPECT_EQ(wire.time_or_dist_1, -2);
  EXPECT_EQ(wire.trig_io_1, 3);
  EXPECT_TRUE(wire.trig_value_1);
  EXPECT_EQ(wire.trig_time_1, 0.125);
  EXPECT_EQ(wire.trig_dist_1, 0.375);
  EXPECT_EQ(wire.trig_event_1, "first");
  EXPECT_EQ(wire.time_or_dist_2, 4);
  EXPECT_EQ(wire.trig_io_2, -5);
  EXPECT_FALSE(wire.trig_value_2);
  EXPECT_EQ(wire.trig_time_2, 0.625);
  EXPECT_EQ(wire.trig_dist_2, 0.875);
  EXPECT_EQ(wire.trig_event_2, "second");
}

// The call of the vibration test: movej2 with the default options, block false, and the task id
// that comes back.
TEST(SdkMotionOptions, Movej2WithTheDefaultOptionsSendsThemWhole) {
  Script script;
  script.i32 = 812;
  auto handler = std::make_shared<RecordingHandler>();
  handler->setScript(script);
  FakeController controller(handler);
  OvraCobot cobot("127.0.0.1", controller.port());
  ASSERT_EQ(cobot.open(), 0);

  const std::vector<double> joints{0.1, -0.2, 0.3, -0.4, 0.5, -0.6};
  EXPECT_EQ(cobot.movej2(joints, 0.05, 1.0, 0.0, false, OvraCobot::op_), 812);

  Op expected;  // all 0, false, 0.0 or empty
  expected.trig_io_1 = 1;
  expected.trig_io_2 = 1;
  EXPECT_EQ(handler->calls(),
            std::vector<std::string>{CallText{"movej2"}(joints, 0.05, 1.0, 0.0, false, expected)});
}

}  // namespace
}  // namespace vb::test
