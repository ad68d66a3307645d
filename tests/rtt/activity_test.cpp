#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <rtt/Activity.hpp>
#include <rtt/TaskContext.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "rtt_test_util.hpp"

namespace {

using vb_test::CountingRunner;
using vb_test::waitUntil;

// Counts updates, notes how many there were when stopHook ran, and can stop or throw itself.
class Periodic : public RTT::TaskContext {
 public:
  Periodic() : TaskContext("periodic", PreOperational) {}
  ~Periodic() override { stop(); }

  std::atomic<int> updates{0};
  std::atomic<int> updates_at_stop{-1};
  int stop_itself_at = 0;
  int throw_at = 0;
  int race_at = 0;  // update that waits a little and then stops the task itself
  std::atomic<bool> racing{false};

 protected:
  void updateHook() override {
    const int n = ++updates;
    if (n == throw_at) throw std::runtime_error("update failed");
    if (n == stop_itself_at) stop();
    if (n == race_at) {
      racing = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      stop();  // meets the stop() that is joining this thread
    }
  }
  void stopHook() override { updates_at_stop = updates.load(); }
};

// Gives the task a 1 ms activity with default scheduling, configures and starts it.
RTT::Activity* startOnActivity(Periodic& task, const char* name) {
  auto* activity = new RTT::Activity(ORO_SCHED_OTHER, 0, 0.001, nullptr, name);
  EXPECT_TRUE(task.setActivity(activity));
  EXPECT_TRUE(task.configure());
  EXPECT_TRUE(task.start());
  return activity;
}

TEST(Activity, RunsPeriodicUpdatesAndStopJoinsTheThread) {
  Periodic task;
  RTT::Activity* activity = startOnActivity(task, "periodic");
  EXPECT_EQ(task.getPeriod(), 0.001);
  EXPECT_TRUE(activity->isRunning());
  EXPECT_FALSE(activity->execute());  // only its own thread steps
  ASSERT_TRUE(waitUntil([&] { return task.updates >= 5; }));

  ASSERT_TRUE(task.stop());
  EXPECT_FALSE(activity->isRunning());
  const int n = task.updates;
  // Joined: no update after stop(), and none beside stopHook.
  EXPECT_EQ(task.updates_at_stop, n);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(task.updates, n);
  EXPECT_EQ(activity->figures().cycles, static_cast<std::uint64_t>(n));

  // It starts again, with fresh figures.
  ASSERT_TRUE(task.start());
  ASSERT_TRUE(waitUntil([&] { return task.updates >= n + 2; }));
  ASSERT_TRUE(task.stop());
  EXPECT_EQ(activity->figures().cycles, static_cast<std::uint64_t>(task.updates - n));
}

TEST(Activity, SkipsMissedDeadlinesInsteadOfCatchingUp) {
  constexpr double kPeriod = 0.002;
  constexpr int kLongStep = 10;  // periods taken by the first step
  CountingRunner runner;
  runner.on_step = [](int n) {
    if (n == 1) std::this_thread::sleep_for(std::chrono::duration<double>(kLongStep * kPeriod));
  };
  RTT::Activity activity(ORO_SCHED_OTHER, 0, kPeriod, &runner, "skip");
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(activity.start());
  ASSERT_TRUE(waitUntil([&] { return runner.steps >= 15; }));
  ASSERT_TRUE(activity.stop());
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  // Catching up would run about one cycle per period since the start; skipping the deadlines
  // that the first step missed leaves at least kLongStep - 1 fewer. A slow machine only makes
  // the count smaller.
  const int steps = runner.steps;
  EXPECT_LE(steps, static_cast<int>(std::floor(elapsed / kPeriod)) - (kLongStep - 1));
  const RTT::Activity::Figures f = activity.figures();
  EXPECT_EQ(f.cycles, static_cast<std::uint64_t>(steps));
  EXPECT_GE(f.overruns, 1u);
  EXPECT_GE(f.max_execution_ns, static_cast<std::int64_t>(kLongStep * kPeriod * 1e9));
}

TEST(Activity, FiguresAreReadableAndOrdered) {
  CountingRunner runner;
  RTT::Activity activity(ORO_SCHED_OTHER, 0, 0.001, &runner, "figures");
  EXPECT_EQ(activity.latenessQuantile(0.5), 0);
  EXPECT_EQ(activity.figures().cycles, 0u);
  ASSERT_TRUE(activity.start());
  // Read while the thread writes them (TSan checks this).
  ASSERT_TRUE(waitUntil([&] { return activity.figures().cycles >= 20; }));
  ASSERT_TRUE(activity.stop());

  const RTT::Activity::Figures f = activity.figures();
  EXPECT_EQ(f.cycles, static_cast<std::uint64_t>(runner.steps));
  EXPECT_LE(f.overruns, f.cycles);
  const std::int64_t median = activity.latenessQuantile(0.5);
  const std::int64_t p99 = activity.latenessQuantile(0.99);
  EXPECT_GE(median, 0);
  EXPECT_LE(median, p99);
  EXPECT_LE(p99, f.max_lateness_ns);
  EXPECT_EQ(activity.latenessQuantile(7.0), activity.latenessQuantile(1.0));
  EXPECT_EQ(activity.latenessQuantile(-1.0), activity.latenessQuantile(0.0));
  EXPECT_EQ(activity.latenessQuantile(std::nan("")), activity.latenessQuantile(0.0));
}

TEST(Activity, RealTimeWhenPermittedOtherwiseOneWarning) {
  CountingRunner runner;
  RTT::Activity activity(ORO_SCHED_RT, 99, 0.001, &runner, "rt");
  ::testing::internal::CaptureStderr();
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(activity.start());
    ASSERT_TRUE(waitUntil([&] { return runner.steps >= round * 3; }));
    ASSERT_TRUE(activity.stop());
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (activity.isRealTime()) {
    EXPECT_EQ(runner.policy, SCHED_FIFO);
    EXPECT_EQ(runner.priority, 99);
    EXPECT_EQ(err, "");
  } else {
    EXPECT_NE(runner.policy, SCHED_FIFO);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(Activity, OtherSchedulerNeverWarns) {
  CountingRunner runner;
  RTT::Activity activity(ORO_SCHED_OTHER, 99, 0.001, &runner, "other");
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(activity.start());
  ASSERT_TRUE(waitUntil([&] { return runner.steps >= 1; }));
  ASSERT_TRUE(activity.stop());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(activity.isRealTime());
  EXPECT_EQ(runner.policy, SCHED_OTHER);
}

TEST(Activity, RefusesWhatItCannotDo) {
  CountingRunner runner;
  RTT::Activity zero(ORO_SCHED_OTHER, 0, 0.0, &runner, "zero");
  EXPECT_FALSE(zero.start());
  EXPECT_FALSE(zero.stop());

  RTT::Activity activity(0, 0.001, &runner);
  EXPECT_EQ(activity.getScheduler(), ORO_SCHED_RT);
  EXPECT_EQ(activity.getName(), "Activity");
  ::testing::internal::CaptureStderr();  // may warn about the real-time request
  ASSERT_TRUE(activity.start());
  EXPECT_FALSE(activity.start());
  CountingRunner other;
  EXPECT_FALSE(activity.run(&other));  // no new runner while running
  ASSERT_TRUE(activity.stop());
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(activity.run(&other));
  EXPECT_EQ(activity.getRunner(), &other);
}

TEST(Activity, RunnerAndActivityLetGoOfEachOther) {
  CountingRunner runner;
  {
    RTT::Activity activity(ORO_SCHED_OTHER, 0, 0.001, &runner);
    EXPECT_EQ(runner.getActivity(), &activity);
    {
      CountingRunner brief;
      ASSERT_TRUE(activity.run(&brief));
      EXPECT_EQ(runner.getActivity(), nullptr);
    }
    EXPECT_EQ(activity.getRunner(), nullptr);
    ASSERT_TRUE(activity.run(&runner));
  }
  EXPECT_EQ(runner.getActivity(), nullptr);
}

TEST(Activity, TaskStopsItselfFromUpdateHook) {
  Periodic task;
  task.stop_itself_at = 3;
  startOnActivity(task, "self");
  ASSERT_TRUE(waitUntil([&] { return task.getTaskState() == RTT::base::TaskCore::Stopped; }));
  EXPECT_EQ(task.updates_at_stop, 3);
  EXPECT_FALSE(task.getActivity()->isRunning());
  // Started again, the old thread is joined first.
  ASSERT_TRUE(task.start());
  ASSERT_TRUE(waitUntil([&] { return task.updates >= 4; }));
  EXPECT_TRUE(task.stop());
}

// An activity whose start() returns only a while after its thread runs, as on a busy machine.
class SlowToReturn : public RTT::Activity {
 public:
  SlowToReturn() : Activity(ORO_SCHED_OTHER, 0, 0.001, nullptr, "slow") {}
  bool start() override {
    const bool ok = Activity::start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ok;
  }
};

TEST(Activity, StopFromTheFirstUpdateWhileStartIsStillReturning) {
  Periodic task;
  task.stop_itself_at = 1;
  ASSERT_TRUE(task.setActivity(new SlowToReturn));
  ASSERT_TRUE(task.configure());
  ASSERT_TRUE(task.start());
  ASSERT_TRUE(waitUntil([&] { return task.getTaskState() == RTT::base::TaskCore::Stopped; },
                        std::chrono::seconds(5)));
  EXPECT_EQ(task.updates_at_stop, 1);
}

TEST(Activity, StopsFromBothSidesAtOnceWithoutHanging) {
  Periodic task;
  task.race_at = 2;
  startOnActivity(task, "race");
  ASSERT_TRUE(waitUntil([&] { return task.racing.load(); }));
  task.stop();  // one of the two stops wins
  ASSERT_TRUE(waitUntil([&] { return task.getTaskState() == RTT::base::TaskCore::Stopped; }));
  EXPECT_EQ(task.updates_at_stop, 2);
  EXPECT_FALSE(task.getActivity()->isRunning());
}

TEST(Activity, ExceptionFromUpdateHookKeepsTheThreadTicking) {
  Periodic task;
  task.throw_at = 2;
  RTT::Activity* activity = startOnActivity(task, "throws");
  ASSERT_TRUE(waitUntil([&] { return task.inException(); }));
  const std::uint64_t cycles = activity->figures().cycles;
  ASSERT_TRUE(waitUntil([&] { return activity->figures().cycles > cycles + 3; }));
  EXPECT_EQ(task.updates, 2);
  EXPECT_TRUE(activity->isRunning());
  EXPECT_FALSE(task.stop());
  EXPECT_FALSE(activity->isRunning());
}

}  // namespace
