#include "Progress.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "TestSchedule.h"

namespace vb {
namespace tools {

namespace {

constexpr double kDegree = 3.141592653589793 / 180.0;
constexpr int kJoints = 6;

// Three words and their apply, each a task polled in the cycle after it.
constexpr double kServoWrite = 11 * kSamplePeriod;
// Zero words for every joint.
constexpr double kReset = kJoints * kServoWrite + 2 * kSamplePeriod;
// Until the traversal has found the worst speed of a normal-mode test: the middle of its grid.
constexpr double kTypicalWorst = 1.25 * kDegree;

// d / v, plus v / a for the two ramps (a = kAccelerationPerSpeed v), and the cycles that start the
// move and see it end.
double moveSeconds(double v) {
  return kTravel / v + 1.0 / kAccelerationPerSpeed + 3 * kSamplePeriod;
}

const int kPhaseMoves = gridCount(kPhaseStart, kPhaseMax, kPhaseStep);
const int kCurrentMoves = gridCount(kCurrentStart, kCurrentMax, kCurrentStep);
constexpr int kVerificationMoves = 2;

// The worst speed is one of the traversal's speeds (the first, too, when none was recorded), but
// the line gives it to six digits: the grid's speed it stands for, for the moves that run at it.
double gridSpeed(double printed) {
  double nearest = kSpeedStart;
  for (double v = kSpeedStart; !(v > kSpeedMax); v += kSpeedStep)
    if (std::fabs(v - printed) < std::fabs(nearest - printed)) nearest = v;
  return std::fabs(nearest - printed) <= 1e-5 * printed ? nearest : printed;
}

bool observable(Stage s) { return s == Stage::kTraversal || s == Stage::kVerification; }

// "J<text>" at the start of a line, J a single joint digit: the joint, and the rest after text.
bool jointLine(const std::string& line, const char* text, int* joint, const char** rest) {
  const std::size_t n = std::strlen(text);
  if (line.size() < 1 + n || line[0] < '0' || line[0] > '9' || line.compare(1, n, text) != 0)
    return false;
  *joint = line[0] - '0';
  *rest = line.c_str() + 1 + n;
  return true;
}

// The numbers of a result line, separated by blanks; false when one is not a finite number.
bool numbers(const char* text, double* out, int count) {
  for (int i = 0; i < count; ++i) {
    char* end = nullptr;
    errno = 0;
    out[i] = std::strtod(text, &end);
    if (end == text || errno != 0 || !std::isfinite(out[i])) return false;
    text = end;
  }
  return true;
}

}  // namespace

ProgressEstimate::ProgressEstimate(int mode, bool high_speed, bool program_lines)
    : high_speed_(high_speed), program_lines_(program_lines) {
  if (mode == kAllJointsMode) {
    for (int j = 0; j < kJoints; ++j) joints_.push_back(j);
  } else {
    joints_.push_back(mode >= 0 && mode < kJoints ? mode : 0);
  }
  worst_.assign(joints_.size(), 0.0);
  no_orders_.assign(joints_.size(), false);
  rebuild();
}

void ProgressEstimate::rebuild() {
  segments_.clear();
  double at = 0.0;
  auto add = [&](int joint_index, Stage stage, double extra, int moves, double speed) {
    Segment s;
    s.joint_index = joint_index;
    s.stage = stage;
    s.extra = extra;
    for (int k = 0; k < moves; ++k) {
      s.moves.push_back(
          moveSeconds(speed) +
          (stage == Stage::kPhaseScan || stage == Stage::kCurrentScan ? kServoWrite : 0.0));
      s.speeds.push_back(speed);
    }
    s.begin = at;
    s.end = at + extra;
    for (double m : s.moves) s.end += m;
    at = s.end;
    segments_.push_back(s);
    return &segments_.back();
  };
  add(0, Stage::kReset, kReset, 0, 1.0);
  for (std::size_t i = 0; i < joints_.size(); ++i) {
    const int ji = static_cast<int>(i);
    // The traversal: an outward and a return move at each speed of the grid.
    Segment* traversal = add(ji, Stage::kTraversal, 0.0, 0, 1.0);
    const double first = high_speed_ ? kSpeedMax : kSpeedStart;
    for (double v = first; !(v > kSpeedMax); v += kSpeedStep) {
      for (int k = 0; k < 2; ++k) {
        traversal->moves.push_back(moveSeconds(v));
        traversal->speeds.push_back(v);
        traversal->end += traversal->moves.back();
      }
    }
    at = traversal->end;
    const double worst = worst_[i] > 0 ? worst_[i] : high_speed_ ? kSpeedMax : kTypicalWorst;
    // Without an order found the scans have nothing to compensate and make no move.
    add(ji, Stage::kPhaseScan, 0.0, no_orders_[i] ? 0 : kPhaseMoves, worst);
    add(ji, Stage::kCurrentScan, 0.0, no_orders_[i] ? 0 : kCurrentMoves, worst);
    add(ji, Stage::kVerification, kServoWrite, kVerificationMoves, worst);
  }
}

std::vector<double> ProgressEstimate::plannedSpeeds(int joint_index, Stage stage) const {
  const Segment* s = segment(joint_index, stage);
  return s ? s->speeds : std::vector<double>();
}

const ProgressEstimate::Segment* ProgressEstimate::segment(int joint_index, Stage stage) const {
  for (const Segment& s : segments_)
    if (s.joint_index == joint_index && s.stage == stage) return &s;
  return nullptr;
}

void ProgressEstimate::anchor(double position, double t) {
  if (position <= anchor_pos_) return;  // the lines only ever move the test on
  anchor_pos_ = position;
  anchor_t_ = t;
  // Real seconds per nominal second so far: a controller or a control cycle slower than
  // nominal stretches the rest alike. Taken once enough has run to say.
  const double done = position - segments_.front().end;
  if (done >= 5.0) scale_ = std::clamp((t - run_start_t_) / done, 0.5, 4.0);
}

double ProgressEstimate::position(double t) const {
  double p = anchor_pos_ + std::max(0.0, t - anchor_t_) / scale_;
  // A stage end that the program prints is not passed before the line comes.
  if (program_lines_) {
    for (const Segment& s : segments_) {
      if (observable(s.stage) && s.end > anchor_pos_ + 1e-9) {
        p = std::min(p, s.end - 1e-6);
        break;
      }
    }
  }
  return std::min(p, segments_.back().end - 1e-6);
}

void ProgressEstimate::testState(int state, double t) {
  if (state == 1 && !running_ && !finished_) {
    // A run leaves its reset (the first, or a new one after the test was stopped): what the
    // previous run found no longer counts, the pace it showed still does.
    running_ = true;
    idle_ = false;
    std::fill(worst_.begin(), worst_.end(), 0.0);
    std::fill(no_orders_.begin(), no_orders_.end(), false);
    rebuild();
    anchor_pos_ = segments_.front().end;
    anchor_t_ = t;
    run_start_t_ = t;
    last_slot_joint_ = -1;
  } else if (state == 0 && running_) {
    running_ = false;
    idle_ = true;
  } else if (state == 2 && !finished_) {
    running_ = false;
    idle_ = false;
    finished_ = true;
    finished_at_ = t;
  }
}

void ProgressEstimate::programLine(const std::string& line, double t) {
  if (!running_) return;
  int joint = -1;
  const char* rest = nullptr;
  auto index_of = [&](int j) {
    auto it = std::find(joints_.begin(), joints_.end(), j);
    return it == joints_.end() ? -1 : static_cast<int>(it - joints_.begin());
  };
  const char* slot_names[3] = {" first freq: ", " second freq: ", " third freq: "};
  if (jointLine(line, " max vib velo: ", &joint, &rest)) {
    // The traversal's first result line: the worst speed, in rad/s.
    const int i = index_of(joint);
    double v = 0.0;
    if (i < 0 || !numbers(rest, &v, 1)) return;
    if (v > 0.0 && v < 1.0) worst_[i] = gridSpeed(v);
    rebuild();
    anchor(segment(i, Stage::kTraversal)->end, t);
    last_slot_joint_ = joint;
    slot_orders_ = 0;
    slot_lines_ = 0;
    return;
  }
  for (int x = 0; x < 3; ++x) {
    if (!jointLine(line, slot_names[x], &joint, &rest)) continue;
    // Frequency, measured order, nominal order and amplitude of the slot.
    double values[4];
    const int i = index_of(joint);
    if (joint != last_slot_joint_ || i < 0 || !numbers(rest, values, 4)) return;
    if (values[2] > 0) slot_orders_ |= 1u << x;
    if (++slot_lines_ == 3) {
      last_slot_joint_ = -1;
      if (no_orders_[i] != (slot_orders_ == 0)) {
        no_orders_[i] = slot_orders_ == 0;
        rebuild();
      }
    }
    return;
  }
  if (jointLine(line, " optimum result:", &joint, &rest)) {
    const int i = index_of(joint);
    if (i >= 0) anchor(segment(i, Stage::kVerification)->end, t);
  }
}

ProgressView ProgressEstimate::at(double t) const {
  ProgressView v;
  v.elapsed = t;
  v.joints = static_cast<int>(joints_.size());
  if (finished_) {
    v.stage = Stage::kFinished;
    v.elapsed = finished_at_;
    v.left = 0.0;
    return v;
  }
  if (idle_) {
    v.stage = Stage::kIdle;
    return v;
  }
  if (!running_) {
    v.stage = Stage::kReset;
    v.left = segments_.back().end * scale_;
    return v;
  }
  const double p = position(t);
  const Segment* in = nullptr;
  for (const Segment& s : segments_) {
    if (s.end > s.begin) in = &s;  // the last stage that takes time, should p lie past all
    if (s.end > s.begin && p < s.end) break;
  }
  v.stage = in->stage;
  v.joint_index = in->joint_index;
  v.joint = joints_[static_cast<std::size_t>(in->joint_index)];
  v.moves = static_cast<int>(in->moves.size());
  double q = p - in->begin - in->extra;
  for (std::size_t k = 0; k < in->moves.size(); ++k) {
    v.move = static_cast<int>(k) + 1;
    v.speed = in->speeds[k] / kDegree;
    if (q < in->moves[k]) break;
    q -= in->moves[k];
  }
  v.left = std::max(0.0, (segments_.back().end - p) * scale_);
  return v;
}

bool isStageFailure(const std::string& line) {
  // "<machine>: joint <0..5> failed: <cause>"
  const std::size_t colon = line.find(": joint ");
  if (colon == std::string::npos || colon == 0) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    if (!std::isalpha(static_cast<unsigned char>(line[i]))) return false;
  }
  const std::size_t digit = colon + 8;
  return line.size() > digit && line[digit] >= '0' && line[digit] <= '5' &&
         line.compare(digit + 1, 9, " failed: ") == 0;
}

const char* stageName(Stage stage) {
  switch (stage) {
    case Stage::kReset:
      return "reset";
    case Stage::kTraversal:
      return "traversal";
    case Stage::kPhaseScan:
      return "phase scan";
    case Stage::kCurrentScan:
      return "current scan";
    case Stage::kVerification:
      return "verification";
    case Stage::kIdle:
      return "idle";
    case Stage::kFinished:
      return "finished";
  }
  return "?";
}

std::string formatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e8) return "?";
  const long s = std::lround(seconds);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string formatProgress(const ProgressView& v) {
  std::string text;
  char buf[96];
  switch (v.stage) {
    case Stage::kReset:
      text = "resetting the servo compensation";
      break;
    case Stage::kIdle:
      text = "idle (stopped, or the robot is not runnable)";
      break;
    case Stage::kFinished:
      text = "finished";
      break;
    default:
      std::snprintf(buf, sizeof buf, "joint %d", v.joint);
      text = buf;
      if (v.joints > 1) {
        std::snprintf(buf, sizeof buf, " (%d/%d)", v.joint_index + 1, v.joints);
        text += buf;
      }
      text += std::string(", ") + stageName(v.stage);
      if (v.moves > 0) {
        std::snprintf(buf, sizeof buf, ": move %d/%d at %.1f deg/s", v.move, v.moves, v.speed);
        text += buf;
      }
  }
  text += ", " + formatDuration(v.elapsed) + " elapsed";
  if (v.left >= 0 && v.stage != Stage::kFinished) text += ", ~" + formatDuration(v.left) + " left";
  return text;
}

FileTail::FileTail(std::string path) : path_(std::move(path)) {
  std::ifstream in(path_, std::ios::binary | std::ios::ate);
  if (in) offset_ = static_cast<std::uint64_t>(std::max<std::streamoff>(0, in.tellg()));
}

bool FileTail::poll(std::vector<std::string>* lines) {
  std::ifstream in(path_, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff end = in.tellg();
  if (end < 0) return false;
  const auto size = static_cast<std::uint64_t>(end);
  if (size < offset_) {
    // Cut shorter (a new program's log): read it from the start.
    offset_ = 0;
    partial_.clear();
  }
  // Bounded per call; the rest comes at the next.
  const std::uint64_t want = std::min<std::uint64_t>(size - offset_, 1 << 20);
  std::string chunk(static_cast<std::size_t>(want), '\0');
  in.seekg(static_cast<std::streamoff>(offset_));
  in.read(&chunk[0], static_cast<std::streamsize>(want));
  chunk.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
  offset_ += chunk.size();
  for (char c : chunk) {
    if (c == '\n') {
      lines->push_back(partial_);
      partial_.clear();
    } else if (partial_.size() < kMaxLine) {
      partial_ += c;
    }
  }
  return true;
}

}  // namespace tools
}  // namespace vb
