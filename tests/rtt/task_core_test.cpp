#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <rtt/Logger.hpp>
#include <rtt/TaskContext.hpp>
#include <rtt/extras/SlaveActivity.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using State = RTT::base::TaskCore::TaskState;
using RTT::base::TaskCore;

// A task that logs its hooks and fails them on request.
class Probe : public RTT::TaskContext {
 public:
  explicit Probe(State initial = PreOperational) : TaskContext("probe", initial) {}
  ~Probe() override { stop(); }

  bool configure_ok = true;
  bool start_ok = true;
  std::string throw_in;     // name of a hook that throws
  int throw_at_update = 0;  // update number that throws, 0 for none
  std::string hooks;
  std::atomic<int> updates{0};

 protected:
  bool configureHook() override { return note("configure") && configure_ok; }
  bool startHook() override { return note("start") && start_ok; }
  void stopHook() override { note("stop"); }
  void cleanupHook() override { note("cleanup"); }
  void updateHook() override {
    if (++updates == throw_at_update) throw std::runtime_error("update failed");
  }

 private:
  bool note(const std::string& hook) {
    hooks += hooks.empty() ? hook : " " + hook;
    if (throw_in == hook) throw std::runtime_error(hook + " failed");
    return true;
  }
};

enum class Op { Configure, Start, Stop, Cleanup, Recover, Error };

struct Step {
  Op op;
  bool result;  // ignored for Error, which returns nothing
  State after;
};

struct TransitionCase {
  const char* name;
  State initial;
  bool configure_ok;
  bool start_ok;
  const char* throw_in;
  std::vector<Step> steps;
  const char* hooks;
};

bool apply(Probe& t, Op op) {
  switch (op) {
    case Op::Configure:
      return t.configure();
    case Op::Start:
      return t.start();
    case Op::Stop:
      return t.stop();
    case Op::Cleanup:
      return t.cleanup();
    case Op::Recover:
      return t.recover();
    case Op::Error:
      t.error();
      return false;
  }
  return false;
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const TransitionCase& c, std::ostream* os) { *os << c.name; }

class Transitions : public ::testing::TestWithParam<TransitionCase> {};

TEST_P(Transitions, FollowTheTable) {
  const TransitionCase& c = GetParam();
  Probe task(c.initial);
  task.configure_ok = c.configure_ok;
  task.start_ok = c.start_ok;
  task.throw_in = c.throw_in;
  auto* slave = new RTT::extras::SlaveActivity(0.004);
  ASSERT_TRUE(task.setActivity(slave));
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    const bool r = apply(task, s.op);
    if (s.op != Op::Error) {
      EXPECT_EQ(r, s.result);
    }
    EXPECT_EQ(task.getTaskState(), s.after);
    EXPECT_EQ(task.isRunning(), s.after == TaskCore::Running || s.after == TaskCore::RunTimeError);
    EXPECT_EQ(task.isConfigured(), task.isRunning() || s.after == TaskCore::Stopped);
    EXPECT_EQ(task.inException(), s.after == TaskCore::Exception);
    // The activity runs exactly while the task does.
    EXPECT_EQ(slave->isRunning(), task.isRunning());
  }
  EXPECT_EQ(task.hooks, c.hooks);
}

constexpr State kPre = TaskCore::PreOperational;
constexpr State kStopped = TaskCore::Stopped;
constexpr State kRunning = TaskCore::Running;
constexpr State kRunTimeError = TaskCore::RunTimeError;
constexpr State kException = TaskCore::Exception;

INSTANTIATE_TEST_SUITE_P(
    TaskCore, Transitions,
    ::testing::Values(TransitionCase{"FullLifeCycle",
                                     kPre,
                                     true,
                                     true,
                                     "",
                                     {{Op::Start, false, kPre},
                                      {Op::Stop, false, kPre},
                                      {Op::Cleanup, false, kPre},
                                      {Op::Configure, true, kStopped},
                                      {Op::Start, true, kRunning},
                                      {Op::Configure, false, kRunning},
                                      {Op::Start, false, kRunning},
                                      {Op::Cleanup, false, kRunning},
                                      {Op::Stop, true, kStopped},
                                      {Op::Stop, false, kStopped},
                                      {Op::Configure, true, kStopped},
                                      {Op::Cleanup, true, kPre},
                                      {Op::Cleanup, false, kPre}},
                                     "configure start stop configure cleanup"},
                      TransitionCase{"ConfigureHookFalseStaysPreOperational",
                                     kPre,
                                     false,
                                     true,
                                     "",
                                     {{Op::Configure, false, kPre}, {Op::Start, false, kPre}},
                                     "configure"},
                      TransitionCase{"FailedReconfigureFallsBackToPreOperational",
                                     kStopped,
                                     false,
                                     true,
                                     "",
                                     {{Op::Configure, false, kPre}},
                                     "configure"},
                      TransitionCase{"StoppedStartsWithoutConfigure",
                                     kStopped,
                                     true,
                                     true,
                                     "",
                                     {{Op::Start, true, kRunning}, {Op::Stop, true, kStopped}},
                                     "start stop"},
                      TransitionCase{"StartHookFalseStaysStopped",
                                     kStopped,
                                     true,
                                     false,
                                     "",
                                     {{Op::Start, false, kStopped}},
                                     "start"},
                      TransitionCase{"OtherInitialStatesAreStopped",
                                     TaskCore::Running,
                                     true,
                                     true,
                                     "",
                                     {{Op::Start, true, kRunning}},
                                     "start"},
                      TransitionCase{"RunTimeErrorRecovers",
                                     kStopped,
                                     true,
                                     true,
                                     "",
                                     {{Op::Error, false, kStopped},
                                      {Op::Recover, false, kStopped},
                                      {Op::Start, true, kRunning},
                                      {Op::Error, false, kRunTimeError},
                                      {Op::Start, false, kRunTimeError},
                                      {Op::Recover, true, kRunning},
                                      {Op::Recover, false, kRunning},
                                      {Op::Error, false, kRunTimeError},
                                      {Op::Stop, true, kStopped}},
                                     "start stop"},
                      TransitionCase{"ThrowingConfigureHookIsException",
                                     kPre,
                                     true,
                                     true,
                                     "configure",
                                     {{Op::Configure, false, kException},
                                      {Op::Start, false, kException},
                                      {Op::Cleanup, false, kException},
                                      {Op::Recover, true, kPre}},
                                     "configure"},
                      TransitionCase{"ThrowingStartHookIsException",
                                     kStopped,
                                     true,
                                     true,
                                     "start",
                                     {{Op::Start, false, kException}},
                                     "start"},
                      TransitionCase{"ThrowingStopHookIsException",
                                     kStopped,
                                     true,
                                     true,
                                     "stop",
                                     {{Op::Start, true, kRunning}, {Op::Stop, false, kException}},
                                     "start stop"}),
    [](const ::testing::TestParamInfo<TransitionCase>& info) { return info.param.name; });

TEST(SlaveActivity, StepsOneUpdatePerExecuteWhileRunning) {
  Probe task;
  auto* slave = new RTT::extras::SlaveActivity(0.004);
  ASSERT_TRUE(task.setActivity(slave));
  EXPECT_EQ(task.getPeriod(), 0.004);
  EXPECT_FALSE(slave->execute());
  ASSERT_TRUE(task.configure());
  EXPECT_FALSE(slave->execute());  // configured but not started
  EXPECT_EQ(task.updates, 0);

  ASSERT_TRUE(task.start());
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(slave->execute());
    EXPECT_EQ(task.updates, i);
  }
  ASSERT_TRUE(task.stop());
  EXPECT_FALSE(slave->execute());
  EXPECT_EQ(task.updates, 3);
}

TEST(SlaveActivity, ExceptionFromUpdateHookEndsUpdatesNotTheActivity) {
  Probe task;
  task.throw_at_update = 2;
  auto* slave = new RTT::extras::SlaveActivity();
  ASSERT_TRUE(task.setActivity(slave));
  ASSERT_TRUE(task.configure());
  ASSERT_TRUE(task.start());
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(slave->execute());
  EXPECT_EQ(task.updates, 2);
  EXPECT_EQ(task.getTaskState(), TaskCore::Exception);

  EXPECT_FALSE(task.stop());  // stops the activity, stays in Exception
  EXPECT_FALSE(slave->isRunning());
  EXPECT_EQ(task.getTaskState(), TaskCore::Exception);
  EXPECT_EQ(task.hooks, "configure start");

  // Recovered, it needs a new configuration and then runs again.
  ASSERT_TRUE(task.recover());
  EXPECT_EQ(task.getTaskState(), TaskCore::PreOperational);
  ASSERT_TRUE(task.configure());
  ASSERT_TRUE(task.start());
  EXPECT_TRUE(slave->execute());
  EXPECT_EQ(task.updates, 3);
}

class Tracked : public RTT::extras::SlaveActivity {
 public:
  explicit Tracked(bool& gone) : gone_(gone) {}
  ~Tracked() override { gone_ = true; }

 private:
  bool& gone_;
};

TEST(TaskContext, OwnsItsActivity) {
  bool first_gone = false;
  bool second_gone = false;
  {
    Probe task;
    EXPECT_EQ(task.getName(), "probe");
    EXPECT_EQ(task.getPeriod(), 0.0);
    auto* first = new Tracked(first_gone);
    ASSERT_TRUE(task.setActivity(first));
    EXPECT_EQ(task.getActivity(), first);

    ASSERT_TRUE(task.configure());
    ASSERT_TRUE(task.start());
    bool refused_gone = false;
    Tracked refused(refused_gone);
    EXPECT_FALSE(task.setActivity(&refused));  // not while running; the caller keeps it
    EXPECT_EQ(task.getActivity(), first);
    ASSERT_TRUE(task.stop());

    auto* second = new Tracked(second_gone);
    ASSERT_TRUE(task.setActivity(second));
    EXPECT_TRUE(first_gone);
    EXPECT_FALSE(second_gone);
    ASSERT_TRUE(task.start());
    EXPECT_TRUE(second->execute());
    EXPECT_EQ(task.updates, 1);
  }
  EXPECT_TRUE(second_gone);
}

TEST(TaskContext, StartsWithoutActivity) {
  Probe task(TaskCore::Stopped);
  EXPECT_TRUE(task.start());
  EXPECT_TRUE(task.stop());
}

TEST(Logger, InPrintsNothing) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  { RTT::Logger::In in("probe::main()"); }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
