// Runs without the right to real-time scheduling, whoever starts it: main drops CAP_SYS_NICE and
// the real-time priority limit before any thread exists, and every later thread inherits that.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <rtt/Activity.hpp>
#include <rtt/TaskContext.hpp>
#include <string>

#include "rtt_test_util.hpp"

namespace {

bool dropRealTimeRights() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_RTPRIO, &none) != 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned bit = 1u << (CAP_SYS_NICE % 32);
  data[CAP_SYS_NICE / 32].effective &= ~bit;
  data[CAP_SYS_NICE / 32].permitted &= ~bit;
  data[CAP_SYS_NICE / 32].inheritable &= ~bit;
  return syscall(SYS_capset, &header, data) == 0;
}

class Counter : public RTT::TaskContext {
 public:
  Counter() : TaskContext("counter") {}
  ~Counter() override { stop(); }
  std::atomic<int> updates{0};

 protected:
  void updateHook() override { ++updates; }
};

TEST(ActivityFallback, RunsWithDefaultSchedulingAndWarnsOnce) {
  vb_test::CountingRunner runner;
  RTT::Activity activity(ORO_SCHED_RT, 99, 0.001, &runner, "fallback");
  ::testing::internal::CaptureStderr();
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(activity.start());
    ASSERT_TRUE(vb_test::waitUntil([&] { return runner.steps >= round * 3; }));
    ASSERT_TRUE(activity.stop());
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(activity.isRealTime());
  EXPECT_EQ(runner.policy, SCHED_OTHER);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("'fallback'"), std::string::npos) << err;
}

TEST(ActivityFallback, ComponentStillRuns) {
  Counter task;
  ASSERT_TRUE(task.setActivity(new RTT::Activity(ORO_SCHED_RT, 99, 0.001, nullptr, "Activity")));
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(task.configure());
  ASSERT_TRUE(task.start());
  EXPECT_TRUE(vb_test::waitUntil([&] { return task.updates >= 3; }));
  EXPECT_TRUE(task.stop());
  EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace

int main(int argc, char** argv) {
  if (!dropRealTimeRights()) {
    std::perror("dropping the right to real-time scheduling");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
