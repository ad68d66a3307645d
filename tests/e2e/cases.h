// What the end-to-end cases share beyond the processes: how far a case follows the
// identification, and the checks of a healthy program (gtest assertions).
#pragma once

#include <rapidjson/document.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace vb {
namespace e2e {

// How far a case follows the identification after its fault: Full runs it to its end and checks
// the result against the simulator's ground truth; Short (for the sanitizer builds) follows it
// until the joint's velocity traversal has found the simulator's orders, then stops it.
enum class Depth { kShort, kFull };
std::string depthName(Depth depth);

// Test state 1 and the traversal's nominal orders of the joint are the simulator's.
bool traversalFoundOrders(const rapidjson::Document& d, int joint);

// The program still runs and printed no sanitizer report or internal error (gtest EXPECTs).
void expectHealthy(Process& program);

// The operator's identifications through vb_client, to the depth of the case.
class Operator {
 public:
  Operator(int web_port, Depth depth) : web_port_(web_port), depth_(depth) {}
  // vb_client run with these options (and the run's time-out), in the background.
  std::unique_ptr<Process> startRun(const std::vector<std::string>& options);
  // vb_client run of one joint in the high-speed mode; with the ground truth for Full.
  std::unique_ptr<Process> startRun(int joint);
  // Full: the run ends by itself with a result that matches the ground truth. Short: once the
  // traversal has found the orders the client is interrupted, which sends stopTest.
  void finish(std::unique_ptr<Process> run, int joint, Observer& observer);
  void identify(int joint, Observer& observer) { finish(startRun(joint), joint, observer); }
  Depth depth() const { return depth_; }

 private:
  int web_port_;
  Depth depth_;
};

}  // namespace e2e
}  // namespace vb
