// Where a running identification stands, as the operator client shows it: the stage, the move
// within it, the time since the start and an estimate of the time left.
//
// The program reports only the test state while it runs, so the position comes from the test's
// fixed schedule of moves (every move is 10 degrees out or back at a known speed) and the time
// since the test started running, corrected by the lines the program prints at the end of each
// joint's velocity traversal and verification, when they can be read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vb {
namespace tools {

enum class Stage { kReset, kTraversal, kPhaseScan, kCurrentScan, kVerification, kIdle, kFinished };

struct ProgressView {
  Stage stage = Stage::kReset;
  int joint = -1;        // the joint under test; -1 in the reset, when idle and when finished
  int joint_index = 0;   // its place in the test, from 0
  int joints = 1;        // joints the test identifies
  int move = 0;          // the move under way, from 1; 0 when the stage has none
  int moves = 0;         // moves of the stage
  double speed = 0.0;    // deg/s of the move under way
  double elapsed = 0.0;  // s since the start
  double left = -1.0;    // s, estimated; negative when there is no estimate
};

class ProgressEstimate {
 public:
  // mode: the test mode (a joint 0..5, or 99 for all joints in turn). program_lines: the
  // program's printed lines will be passed in; without them the position follows the clock alone.
  ProgressEstimate(int mode, bool high_speed, bool program_lines);

  // The test state of an "update" reply (0 idle, 1 running, 2 finished), t seconds after the
  // start. 0 before the first 1 is the identification reset.
  void testState(int state, double t);
  // One whole line of the program's standard output (or error), seen at t.
  void programLine(const std::string& line, double t);

  ProgressView at(double t) const;
  // The moves it plans for a stage of the test's joint_index-th joint (from 0): the speed of
  // each in rad/s, in order; none for the reset and for a stage without moves.
  std::vector<double> plannedSpeeds(int joint_index, Stage stage) const;

 private:
  struct Segment {
    int joint_index = 0;
    Stage stage = Stage::kReset;
    double extra = 0.0;          // s of servo writes before the first move (or without moves)
    std::vector<double> moves;   // nominal duration of each move, s, its servo write included
    std::vector<double> speeds;  // rad/s of each move
    double begin = 0.0;          // nominal position, s
    double end = 0.0;
  };

  void rebuild();
  const Segment* segment(int joint_index, Stage stage) const;
  void anchor(double position, double t);
  double position(double t) const;

  std::vector<int> joints_;
  bool high_speed_;
  bool program_lines_;
  std::vector<double> worst_;    // rad/s, per joint of the test; <= 0 while unknown
  std::vector<bool> no_orders_;  // per joint: the traversal found no order, the scans skip
  std::vector<Segment> segments_;

  bool running_ = false;
  bool idle_ = false;
  bool finished_ = false;
  double finished_at_ = 0.0;
  double run_start_t_ = 0.0;  // when the current run left its reset
  double anchor_t_ = 0.0;     // last point where time and nominal position were matched
  double anchor_pos_ = 0.0;
  double scale_ = 1.0;        // real seconds per nominal second, from the run so far
  int last_slot_joint_ = -1;  // traversal result lines of this joint are being read
  unsigned slot_orders_ = 0;  // their nominal orders found so far (bit per slot)
  int slot_lines_ = 0;
};

const char* stageName(Stage stage);
// True for the line the program prints when a stage of the test fails and ends the test, e.g.
// "verifyIdResult: joint 1 failed: the outward move could not be started".
bool isStageFailure(const std::string& line);
// "m:ss", or "h:mm:ss" from one hour on; "?" for a negative or not finite time.
std::string formatDuration(double seconds);
// One line, e.g. "joint 0, phase scan: move 12/31 at 2.0 deg/s, 1:05 elapsed, ~2:31 left": short,
// so that it fits a terminal's width.
std::string formatProgress(const ProgressView& view);

// The lines appended to a text file since the tail was opened (or since the file was cut
// shorter, from its start): an unfinished last line waits for its end.
class FileTail {
 public:
  explicit FileTail(std::string path);
  // The whole lines that came since the last call; false when the file cannot be read.
  bool poll(std::vector<std::string>* lines);

 private:
  static constexpr std::size_t kMaxLine = 4096;  // longer lines are cut there

  std::string path_;
  std::uint64_t offset_ = 0;
  std::string partial_;
};

}  // namespace tools
}  // namespace vb
