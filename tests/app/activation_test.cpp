// Activation and deactivation of identified results through the real control cycle: what the
// simulated controller's drive and parameter file hold afterwards, and how requests are refused.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "component_rig.h"
#include "sim/SimController.h"

namespace vb::test {
namespace {

namespace G = GlobalValue;

struct Result {
  unsigned orders[3];
  double phases[3];
  double currents[3];
};

// Marks joint j verified with this result, as a finished verification leaves it.
void verify(VibrationTestHandler& h, int j, Result const& r) {
  h.first_feat_order[j] = r.orders[0];
  h.second_feat_order[j] = r.orders[1];
  h.third_feat_order[j] = r.orders[2];
  h.first_optimum_phase[j] = r.phases[0];
  h.second_optimum_phase[j] = r.phases[1];
  h.third_optimum_phase[j] = r.phases[2];
  h.first_optimum_current[j] = r.currents[0];
  h.second_optimum_current[j] = r.currents[1];
  h.third_optimum_current[j] = r.currents[2];
  unsigned* words[3] = {h.first_servo_param, h.second_servo_param, h.third_servo_param};
  for (int s = 0; s < 3; ++s) {
    words[s][j] = r.orders[s] == 0 ? 0u : servoWord(r.orders[s], r.phases[s], r.currents[s]);
  }
  h.verified[j] = true;
}

std::vector<int32_t> words(VibrationTestHandler const& h, int j) {
  return {static_cast<int32_t>(h.first_servo_param[j]),
          static_cast<int32_t>(h.second_servo_param[j]),
          static_cast<int32_t>(h.third_servo_param[j])};
}

// What the drive holds in parameters 43, 45 and 26 of joint j (-1 for never written).
std::vector<int32_t> drive(sim::SimController const& sim, int j) {
  std::vector<int32_t> out;
  for (int id : {43, 45, 26}) out.push_back(sim.activeServoParam(j, id).value_or(-1));
  return out;
}

// What the controller file holds in "VB_PARAM_1..3" of joint j (-1 for never written).
std::vector<double> file(sim::SimController const& sim, int j) {
  const auto params = sim.fileParams();
  std::vector<double> out;
  const char* names[3] = {"VB_PARAM_1", "VB_PARAM_2", "VB_PARAM_3"};
  const int ids[3] = {43, 45, 26};
  for (int s = 0; s < 3; ++s) {
    auto it = params.find(sim::FileParamKey{j, ids[s], names[s]});
    out.push_back(it == params.end() ? -1.0 : it->second);
  }
  return out;
}

std::vector<double> asDoubles(std::vector<int32_t> const& v) {
  return std::vector<double>(v.begin(), v.end());
}

size_t writesOfJoint(sim::SimController const& sim, int j) {
  size_t n = 0;
  for (auto const& call : sim.callsOf("set_servo_config")) {
    n += call.args.rfind(std::to_string(j) + ",", 0) == 0 ? 1 : 0;
  }
  return n;
}

const Result kResultA{{8, 16, 18}, {1.2, 3.4, 6.0}, {0.6, 0.9, 2.1}};
const Result kResultB{{9, 18, 18}, {0.4, 5.2, 0.0}, {1.5, 0.3, 0.0}};

TEST(Activation, WritesTheWordsToDriveAndFileThenZerosOnDeactivation) {
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  verify(h, 2, kResultA);
  G::vb_activate_param[2] = true;

  const long on = rig.runUntil([&] { return h.activated[2]; }, 200);
  ASSERT_GT(on, 0);
  EXPECT_EQ(drive(rig.sim, 2), words(h, 2));
  EXPECT_EQ(file(rig.sim, 2), asDoubles(words(h, 2)));
  EXPECT_TRUE(G::vb_activate_param[2]);
  // First activation after program start: the words go to the drive three times while the file
  // machine makes its first run, and to the file once.
  EXPECT_EQ(writesOfJoint(rig.sim, 2), 9u);
  EXPECT_EQ(rig.sim.callCount("apply_servo_config"), 3u);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 3u);
  for (int j = 0; j < 6; ++j) {
    if (j != 2) {
      EXPECT_FALSE(h.activated[j]);
    }
  }

  rig.sim.clearCalls();
  G::vb_activate_param[2] = false;
  ASSERT_GT(rig.runUntil([&] { return !h.activated[2]; }, 200), 0);
  EXPECT_EQ(drive(rig.sim, 2), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(file(rig.sim, 2), (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(writesOfJoint(rig.sim, 2), 9u) << "first deactivation after program start";
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 3u);

  rig.sim.clearCalls();
  G::vb_activate_param[2] = true;
  ASSERT_GT(rig.runUntil([&] { return h.activated[2]; }, 200), 0);
  EXPECT_EQ(drive(rig.sim, 2), words(h, 2));
  EXPECT_EQ(file(rig.sim, 2), asDoubles(words(h, 2)));
  EXPECT_EQ(writesOfJoint(rig.sim, 2), 6u) << "twice once the file machine has run";
}

TEST(Activation, SkippedSlotsAreNotWrittenToTheDriveButTheFileGetsZero) {
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  verify(h, 0, Result{{9, 0, 18}, {0.4, 0.0, 2.0}, {0.3, 0.0, 1.8}});
  G::vb_activate_param[0] = true;
  ASSERT_GT(rig.runUntil([&] { return h.activated[0]; }, 200), 0);
  const int32_t w1 = static_cast<int32_t>(servoWord(9, 0.4, 0.3));
  const int32_t w3 = static_cast<int32_t>(servoWord(18, 2.0, 1.8));
  EXPECT_EQ(drive(rig.sim, 0), (std::vector<int32_t>{w1, -1, w3}));
  EXPECT_EQ(file(rig.sim, 0), (std::vector<double>{double(w1), 0.0, double(w3)}));
}

// Requests that cannot be served are set back to the joint's activation state.
struct RefusalCase {
  bool verified;
  bool activated;
  bool request;
  int test_state;  // with the start command; 1 is a running test
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, RequestSetBackInTheSameCycle) {
  const RefusalCase& c = GetParam();
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  // Joint 0 is finished, so a running test only ends in this cycle: no stage moves.
  for (bool* flags : {h.trav_done, h.phase_done, h.current_done, h.verified}) flags[0] = true;
  if (c.verified) verify(h, 3, kResultA);
  h.activated[3] = c.activated;
  h.test_state = c.test_state;
  G::vb_test_mode = 0;
  G::vb_test_cmd = c.test_state == 0 ? 0 : 1;
  G::vb_activate_param[3] = c.request;
  rig.sim.clearCalls();
  rig.cycle();
  EXPECT_EQ(G::vb_activate_param[3].load(), c.activated);
  EXPECT_EQ(h.activated[3], c.activated);
  EXPECT_EQ(rig.sim.callCount("set_servo_config"), 0u);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal,
                         testing::Values(RefusalCase{false, false, true, 0},   // never verified
                                         RefusalCase{false, false, true, 2},   // finished test
                                         RefusalCase{true, false, true, 1},    // during a test
                                         RefusalCase{true, true, false, 1}));  // during a test

TEST(Activation, TwoJointsRequestedTogetherBothEndFullyWritten) {
  sim::SimConfig config;
  config.servo_task_queries = 1;  // the writes take a few cycles each
  Rig rig(config);
  VibrationTestHandler& h = *rig.handler;
  verify(h, 1, kResultA);
  verify(h, 4, kResultB);
  verify(h, 5, kResultB);
  h.activated[5] = true;  // and a deactivation pending at the same time
  G::vb_activate_param[1] = true;
  G::vb_activate_param[4] = true;
  G::vb_activate_param[5] = false;

  ASSERT_GT(rig.runUntil([&] { return h.activated[1] && h.activated[4] && !h.activated[5]; }, 600),
            0);
  EXPECT_EQ(drive(rig.sim, 1), words(h, 1));
  EXPECT_EQ(file(rig.sim, 1), asDoubles(words(h, 1)));
  // Joint 4's orders {9, 18, 18}: the third slot repeats the second and is not written.
  EXPECT_EQ(drive(rig.sim, 4), (std::vector<int32_t>{words(h, 4)[0], words(h, 4)[1], -1}));
  EXPECT_EQ(file(rig.sim, 4), asDoubles(words(h, 4)));
  EXPECT_EQ(drive(rig.sim, 5), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(file(rig.sim, 5), (std::vector<double>{0, 0, 0}));

  // One joint after the other, in joint order: the writes never interleave.
  std::vector<int> order;
  for (auto const& call : rig.sim.callsOf("set_servo_config")) {
    const int j = std::stoi(call.args);
    if (order.empty() || order.back() != j) order.push_back(j);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 4, 5}));
}

TEST(Activation, RequestWithdrawnHalfWayLeavesTheMachinesToTheNextJoint) {
  sim::SimConfig config;
  config.servo_task_queries = 1;
  Rig rig(config);
  VibrationTestHandler& h = *rig.handler;
  verify(h, 1, kResultA);
  verify(h, 3, kResultB);
  G::vb_activate_param[1] = true;
  G::vb_activate_param[3] = true;
  // Joint 1 is half-way through its first servo sequence.
  ASSERT_GT(rig.runUntil([&] { return rig.sim.callCount("set_servo_config") == 2; }, 100), 0);
  G::vb_activate_param[1] = false;
  rig.sim.clearCalls();
  ASSERT_GT(rig.runUntil([&] { return h.activated[3]; }, 600), 0);
  EXPECT_FALSE(h.activated[1]);
  EXPECT_EQ(drive(rig.sim, 3), (std::vector<int32_t>{words(h, 3)[0], words(h, 3)[1], -1}));
  EXPECT_EQ(file(rig.sim, 3), asDoubles(words(h, 3)));
  // Joint 3 starts from its first slot.
  ASSERT_FALSE(rig.sim.callsOf("set_servo_config").empty());
  EXPECT_EQ(rig.sim.callsOf("set_servo_config").front().args,
            "3, 43, " + std::to_string(words(h, 3)[0]) + ", 0, false");
  EXPECT_EQ(writesOfJoint(rig.sim, 1), 0u);
}

// A servo task error refuses the request; the failed write machine refuses every later
// activation until the next identification reset.
TEST(Activation, ServoTaskErrorRefusesTheActivation) {
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  verify(h, 2, kResultA);
  verify(h, 3, kResultA);
  rig.sim.failTask(2, sim::TaskKind::Servo, 2);  // the write of parameter 45
  G::vb_activate_param[2] = true;
  ASSERT_GT(rig.runUntil([&] { return !G::vb_activate_param[2]; }, 50), 0);
  EXPECT_FALSE(h.activated[2]);
  EXPECT_EQ(rig.sim.callCount("apply_servo_config"), 0u);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 0u);

  G::vb_activate_param[3] = true;
  rig.cycle();
  EXPECT_FALSE(G::vb_activate_param[3]);
  EXPECT_EQ(writesOfJoint(rig.sim, 3), 0u);
}

TEST(Activation, ServoTaskErrorRefusesTheDeactivation) {
  Rig rig;
  VibrationTestHandler& h = *rig.handler;
  verify(h, 4, kResultA);
  h.activated[4] = true;
  rig.sim.failTask(4, sim::TaskKind::Servo, 4);  // the apply
  G::vb_activate_param[4] = false;
  ASSERT_GT(rig.runUntil([&] { return G::vb_activate_param[4].load(); }, 50), 0);
  EXPECT_TRUE(h.activated[4]);
  EXPECT_EQ(rig.sim.callCount("set_servo_file_params"), 0u);
}

}  // namespace
}  // namespace vb::test
