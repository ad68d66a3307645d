// The exchange through the shared state while the component runs on its real periodic activity:
// a thread plays the web commands against it. Meant for the ThreadSanitizer build, where any data
// race between the two fails the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <rtt/Activity.hpp>
#include <thread>
#include <vector>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "component_rig.h"
#include "sim/SimController.h"

namespace vb::test {
namespace {

namespace G = GlobalValue;

// What the web commands do to the shared state, in one go: set commands and requests, change
// the joint parameters, read back everything the "update" reply reports.
class WebSide {
 public:
  void command(int round) {
    G::vb_test_mode = round % 7 == 6 ? 99 : round % 7;
    G::vb_high_speed_mode = round % 2 == 0;
    G::vb_test_cmd = (round / 50) % 2;
    G::vb_activate_param[round % 6] = round % 3 == 0;
    std::lock_guard<std::mutex> lock(G::table_mutex);
    if (round % 10 == 0) {
      // setJointParam: whole vectors and the nominal orders.
      const short pp = static_cast<short>(4 + round % 5);
      G::robot_motor_pole_pair.assign(6, pp);
      G::robot_stator_slots.assign(6, 18);
      G::robot_axis_ratio.assign(6, static_cast<short>(100 + round % 3));
      for (auto& row : G::vb_feat_freq_order) {
        row[0] = static_cast<unsigned>(pp);
        row[1] = static_cast<unsigned>(2 * pp);
        row[2] = 18;
      }
    }
    // update: the test state and the reported tables.
    double sum = G::vb_test_state;
    for (int j = 0; j < 6; ++j) {
      sum += G::vb_max_vib_target_vel[j] + G::vb_first_freq[j] + G::vb_second_freq[j] +
             G::vb_third_freq[j] + G::vb_first_feat_order[j] + G::vb_second_feat_order[j] +
             G::vb_third_feat_order[j] + G::vb_first_freq_vib_amp[j] +
             G::vb_second_freq_vib_amp[j] + G::vb_third_freq_vib_amp[j] +
             G::vb_first_optimum_phase[j] + G::vb_second_optimum_phase[j] +
             G::vb_third_optimum_phase[j] + G::vb_first_optimum_current[j] +
             G::vb_second_optimum_current[j] + G::vb_third_optimum_current[j] +
             G::vb_first_optimum_amp[j] + G::vb_second_optimum_amp[j] + G::vb_third_optimum_amp[j] +
             G::vb_first_servo_param[j] + G::vb_second_servo_param[j] + G::vb_third_servo_param[j] +
             G::vb_first_order[j];
    }
    checksum_ += sum;
    if (G::vb_test_state < 0 || G::vb_test_state > 2) ++bad_states_;
  }
  int badStates() const { return bad_states_; }

 private:
  double checksum_ = 0.0;
  int bad_states_ = 0;
};

TEST(SharedState, WebCommandsBesideTheRunningCycleAreRaceFree) {
  Rig rig(sim::SimConfig(), false);
  rig.sim.setServoTaskQueries(1);
  auto* activity = new RTT::Activity(ORO_SCHED_RT, 99, 0.004, nullptr, "Activity");
  ASSERT_TRUE(rig.handler->setActivity(activity));  // replaces the slave activity
  ASSERT_TRUE(rig.handler->configure());
  ASSERT_TRUE(rig.handler->start());

  std::atomic<bool> stop{false};
  WebSide web;
  int rounds = 0;
  std::thread web_thread([&] {
    while (!stop) {
      web.command(rounds++);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Wait (with a deadline) until the cycle has run long enough to go through resets, stops and
  // activations a few times.
  EXPECT_TRUE(waitFor([&] { return activity->figures().cycles >= 400; }, 60));
  stop = true;
  web_thread.join();
  ASSERT_TRUE(rig.handler->stop());

  EXPECT_GE(activity->figures().cycles, 400u);
  EXPECT_GT(rounds, 100);
  EXPECT_EQ(web.badStates(), 0);
  EXPECT_GE(rig.sim.callCount("get_robot_state"), 400u);
  std::lock_guard<std::mutex> lock(G::table_mutex);
  EXPECT_EQ(G::robot_motor_pole_pair.size(), 6u);
}

}  // namespace
}  // namespace vb::test
