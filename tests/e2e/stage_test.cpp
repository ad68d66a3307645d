// A stop and a start from the operator client during each stage of an identification: the test
// stops on the next cycle, starts again from the identification reset and runs to the end.
// The controller is the simulator hosted in this process, whose records tell the stage: the
// reset writes zero words, the traversal moves without compensation, the phase scan writes
// words of current 1.2 (current index 4), the current scan starts at current 0, and the
// verification moves after the current scan's eight moves.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cases.h"
#include "harness.h"
#include "sim/SimController.h"

namespace vb {
namespace e2e {
namespace {

enum class Stage { kReset, kTraversal, kPhaseScan, kCurrentScan, kVerification };

const char* stageName(Stage s) {
  switch (s) {
    case Stage::kReset:
      return "Reset";
    case Stage::kTraversal:
      return "Traversal";
    case Stage::kPhaseScan:
      return "PhaseScan";
    case Stage::kCurrentScan:
      return "CurrentScan";
    case Stage::kVerification:
      return "Verification";
  }
  return "?";
}

// What the controller has seen of one test since its start.
struct Progress {
  int zero_writes = 0;        // set_servo_config with value 0: the reset
  int moves = 0;              // movej2
  int phase_scan_words = 0;   // non-zero words of current index 4 before the current scan
  bool current_scan = false;  // a word of another current index came
  int moves_since_current_scan = 0;
};

void take(Progress& p, const sim::RecordedCall& c) {
  if (c.method == "movej2") {
    ++p.moves;
    if (p.current_scan) ++p.moves_since_current_scan;
  } else if (c.method == "set_servo_config") {
    // "axis, id, value, qfmt, block"
    std::istringstream in(c.args);
    long axis = 0, id = 0, value = 0;
    char comma = 0;
    in >> axis >> comma >> id >> comma >> value;
    const long current_index = (value >> 7) & 7;
    if (value == 0) {
      ++p.zero_writes;
    } else if (!p.current_scan && current_index == 4) {
      ++p.phase_scan_words;
    } else {
      p.current_scan = true;
    }
  }
}

// Folds the controller's records into a Progress as they come. The simulator keeps a bounded
// history, so only the new whole ticks of each look are taken (the last tick may still grow).
class Feed {
 public:
  explicit Feed(sim::SimController& sim) : sim_(sim) {}
  const Progress& poll() {
    const std::vector<sim::RecordedCall> calls = sim_.calls();
    if (calls.empty()) return progress_;
    const long long last = tick(calls.back());
    for (const sim::RecordedCall& c : calls) {
      const long long t = tick(c);
      if (t > done_ && t < last) take(progress_, c);
    }
    if (last - 1 > done_) done_ = last - 1;
    return progress_;
  }

 private:
  static long long tick(const sim::RecordedCall& c) { return std::llround(c.sim_time / 0.004); }

  sim::SimController& sim_;
  long long done_ = -1;
  Progress progress_;
};

// Well inside the stage: a few steps after it began (a high-speed test of one joint has 2
// traversal moves, 31 phase-scan moves of three words each, 8 current-scan moves and 2
// verification moves).
bool inStage(const Progress& p, Stage s) {
  switch (s) {
    case Stage::kReset:
      return p.zero_writes >= 7 && p.moves == 0;
    case Stage::kTraversal:
      return p.moves >= 1 && p.phase_scan_words == 0 && !p.current_scan;
    case Stage::kPhaseScan:
      return p.phase_scan_words >= 30 && !p.current_scan;
    case Stage::kCurrentScan:
      return p.current_scan && p.moves_since_current_scan >= 3 && p.moves_since_current_scan < 8;
    case Stage::kVerification:
      return p.current_scan && p.moves_since_current_scan >= 9;
  }
  return false;
}

class StopStartTest : public ::testing::TestWithParam<std::tuple<Stage, Depth>> {
 protected:
  Stage stage() const { return std::get<0>(GetParam()); }

  int web_port_ = freePort();
  int controller_port_ = freePort();
  Operator op_{web_port_, std::get<1>(GetParam())};
};

TEST_P(StopStartTest, StopAndStartFromTheClientRestartsTheTest) {
  // The arm laid out for the client's high-speed identifications, as robot_sim runs it here.
  sim::SimController sim(sim::SimConfig{sim::highSpeedJoints()});
  sim.setMaxRecordedCalls(10000);  // some seconds: far more than come between two looks
  // Slow servo tasks make the reset long enough to be caught in the middle.
  if (stage() == Stage::kReset) sim.setServoTaskQueries(40);
  ASSERT_EQ(sim.start(controller_port_), controller_port_);
  auto program = startProgram(web_port_, controller_port_);
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", Seconds(30)));
  Observer observer(web_port_);
  ASSERT_TRUE(observer.connected());

  sim.clearCalls();
  Feed feed(sim);
  auto run = op_.startRun(0);
  const auto moves = [&] { return sim.callCount("movej2"); };
  ASSERT_TRUE(
      observer.waitUntil([&](const rapidjson::Document&) { return inStage(feed.poll(), stage()); },
                         identificationTimeout()))
      << "stage " << stageName(stage()) << " never came";

  std::string out;
  ASSERT_EQ(runClient(web_port_, {"send", R"({"task":"stopTest"})"}, Seconds(30), &out), 0) << out;
  EXPECT_NE(out.find(R"("success":true)"), std::string::npos) << out;
  EXPECT_TRUE(observer.waitForState(0, Seconds(5)));
  // A move under way ends on the controller, but no stage starts a new one.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto moves_after_stop = moves();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(moves(), moves_after_stop) << "the stopped test moved on";
  EXPECT_EQ(observer.testState(), 0);
  sim.setServoTaskQueries(0);

  ASSERT_EQ(runClient(web_port_, {"send", R"({"task":"startTest"})"}, Seconds(30), &out), 0) << out;
  EXPECT_NE(out.find(R"("success":true)"), std::string::npos) << out;
  // The new test clears the results and runs its traversal again.
  ASSERT_TRUE(observer.waitUntil(
      [&](const rapidjson::Document& d) {
        feed.poll();
        return stateOf(d) == 1 && entryOf(d, "max_vib_first_freq", 0) == 0.0;
      },
      Seconds(60)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Progress restarted = feed.poll();
  if (stage() == Stage::kReset) {
    // A reset withdrawn half-way goes on where it was: 18 zero words in all, not 18 more.
    EXPECT_EQ(restarted.zero_writes, 18);
  } else {
    EXPECT_EQ(restarted.zero_writes, 36) << "the new test begins with a whole reset";
  }
  op_.finish(std::move(run), 0, observer);
  expectHealthy(*program);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Stage, Depth>>& info) {
  return std::string(stageName(std::get<0>(info.param))) + "_" + depthName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, StopStartTest,
    ::testing::Combine(::testing::Values(Stage::kReset, Stage::kTraversal, Stage::kPhaseScan,
                                         Stage::kCurrentScan, Stage::kVerification),
                       ::testing::Values(Depth::kShort, Depth::kFull)),
    caseName);

}  // namespace
}  // namespace e2e
}  // namespace vb
