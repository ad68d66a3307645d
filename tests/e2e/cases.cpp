#include "cases.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>

#include "sim/RobotModel.h"

namespace vb {
namespace e2e {

std::string depthName(Depth depth) { return depth == Depth::kFull ? "Full" : "Short"; }

bool traversalFoundOrders(const rapidjson::Document& d, int joint) {
  const auto truth = sim::groundTruth(sim::defaultJoints()[joint]);
  const char* keys[3] = {"max_vib_first_order", "max_vib_second_order", "max_vib_third_order"};
  if (stateOf(d) != 1 || !(entryOf(d, "max_vib_first_freq", joint) > 0) ||
      truth.components.size() != 3)
    return false;
  for (int k = 0; k < 3; ++k)
    if (std::lround(entryOf(d, keys[k], joint)) != truth.components[k].order) return false;
  return true;
}

void expectHealthy(Process& program) {
  EXPECT_TRUE(program.running()) << "the program ended";
  const std::string out = program.output();
  for (const char* bad : {"ThreadSanitizer", "AddressSanitizer", "runtime error:", "thread error!"})
    EXPECT_EQ(out.find(bad), std::string::npos) << "the program printed " << bad;
}

std::unique_ptr<Process> Operator::startRun(const std::vector<std::string>& options) {
  std::vector<std::string> args = {"run"};
  args.insert(args.end(), options.begin(), options.end());
  // A case may stop and restart the test once: room for two identifications.
  args.insert(args.end(), {"--timeout", std::to_string(2 * identificationTimeout().count())});
  return startClient(web_port_, args);
}

std::unique_ptr<Process> Operator::startRun(int joint) {
  std::vector<std::string> options = {"--joint", std::to_string(joint)};
  if (depth_ == Depth::kFull) options.insert(options.end(), {"--truth", truthFile()});
  return startRun(options);
}

void Operator::finish(std::unique_ptr<Process> run, int joint, Observer& observer) {
  if (depth_ == Depth::kFull) {
    EXPECT_EQ(run->wait(2 * identificationTimeout() + Seconds(30)), 0) << run->output();
    EXPECT_NE(run->output().find("result matches the simulator's ground truth"), std::string::npos)
        << run->output();
    return;
  }
  // A test that finishes before its traversal found the orders has found nothing.
  bool found = false;
  observer.waitUntil(
      [&](const rapidjson::Document& d) {
        found = traversalFoundOrders(d, joint);
        return found || stateOf(d) == 2;
      },
      identificationTimeout());
  EXPECT_TRUE(found) << "the traversal of joint " << joint
                     << " did not find the simulator's orders";
  run->signal(SIGINT);
  EXPECT_EQ(run->wait(Seconds(30)), 130) << run->output();
  EXPECT_TRUE(observer.waitForState(0, Seconds(10)));
}

}  // namespace e2e
}  // namespace vb
