// Phase and current scans: at the worst speed, one grid value per test move (outward moves the
// even positions of the grid, return moves the odd ones), with the residual amplitude of each
// slot's component measured after the move; the value that leaves the smallest one is the slot's
// optimum. The two scans share every state and differ only in what they write to the drive and
// where the optima go.
//
// Control thread, one state per cycle. Real-time safe: no exceptions, and no allocation of its own
// (the RPC layer aside) once the buffers reserved at the first call stand. Prints nothing.
#include "OvraCobot.h"
#include "TestMoves.h"
#include "VibrationTestHandler.h"

namespace vb {
namespace {

// Working data of one scan; one instance per scan and process.
struct ScanMachine {
  int state = 0;
  double value[3] = {};                        // the value under test, per slot
  double smallest[3] = {999.0, 999.0, 999.0};  // the smallest residual amplitude so far
  TestMove move;                               // the running move
  MachineFailure failure;                      // why it is in 999
  std::vector<double> samples = reservedSamples();
};

struct ScanGrid {
  double first;
  double limit;
  double step;
};

enum class ScanKind { kPhase, kCurrent };

bool allAbove(ScanMachine const& m, double limit) {
  return m.value[0] > limit && m.value[1] > limit && m.value[2] > limit;
}

void entryTest(VibrationTestHandler const& c, ScanMachine& m, unsigned j, double limit) {
  m.state = allAbove(m, limit) ? 99 : 1;
  // A worst speed below the grid's first speed is what a failed traversal leaves.
  if (c.max_vib_target_vel[j] < kSpeedStart) {
    m.failure.set("no worst speed from the traversal");
    m.state = 999;
  } else if (c.first_feat_order[j] == 0 && c.second_feat_order[j] == 0 &&
             c.third_feat_order[j] == 0) {
    m.state = 99;
  }
}

// Per slot the compensation that the scan writes before a move.
void compensation(VibrationTestHandler const& c, ScanMachine const& m, ScanKind kind, unsigned j,
                  double fixed_current, double phase[3], double current[3]) {
  double const* const optimum_phase[3] = {c.first_optimum_phase, c.second_optimum_phase,
                                          c.third_optimum_phase};
  for (int x = 0; x < 3; ++x) {
    phase[x] = kind == ScanKind::kPhase ? m.value[x] : optimum_phase[x][j];
    current[x] = kind == ScanKind::kPhase ? fixed_current : m.value[x];
  }
}

// The residual amplitudes of the move just finished decide the optima; then the grid steps on.
void evaluateMove(VibrationTestHandler& c, ScanMachine& m, ScanKind kind, unsigned j, double step) {
  double* const optimum[3] = {
      kind == ScanKind::kPhase ? c.first_optimum_phase : c.first_optimum_current,
      kind == ScanKind::kPhase ? c.second_optimum_phase : c.second_optimum_current,
      kind == ScanKind::kPhase ? c.third_optimum_phase : c.third_optimum_current};
  double const freq[3] = {c.first_freq[j], c.second_freq[j], c.third_freq[j]};
  double amp[3] = {0.0, 0.0, 0.0};
  // A move with fewer than two samples measured nothing: its value cannot become an optimum.
  bool const measured = m.samples.size() >= 2;
  if (measured) {
    c.velocityErrorAnalysisSpecific(m.samples, kSamplePeriod, c.first_freq[j], amp[0],
                                    c.second_freq[j], amp[1], c.third_freq[j], amp[2]);
  }
  for (int x = 0; x < 3; ++x) {
    if (freq[x] < 0.0001) {
      optimum[x][j] = 0.0;
    } else if (measured && amp[x] < m.smallest[x]) {
      optimum[x][j] = m.value[x];
      m.smallest[x] = amp[x];
    }
  }
  for (double& v : m.value) v += step;
}

void stepScan(VibrationTestHandler& c, ScanMachine& m, ScanKind kind, bool start,
              unsigned char joint, double travel, double fixed_current, ScanGrid const& grid,
              bool* done) {
  unsigned const j = joint;
  if (j >= VibrationTestHandler::kJoints) {
    m.state = 999;
    return;
  }
  if (!start) {
    for (int x = 0; x < 3; ++x) {
      m.value[x] = grid.first;
      m.smallest[x] = 999.0;
    }
    m.samples.clear();
    m.failure = MachineFailure{};
    entryTest(c, m, j, grid.limit);
    return;
  }
  if (c.cobot == nullptr) return;
  double const speed = c.max_vib_target_vel[j];
  switch (m.state) {
    case 0:
      m.samples.clear();
      entryTest(c, m, j, grid.limit);
      break;
    case 1:
    case 13: {
      double phase[3];
      double current[3];
      compensation(c, m, kind, j, fixed_current, phase, current);
      StepResult const r = applyCompensation(c, joint, phase, current);
      if (r == StepResult::kFailed) {
        m.failure.set("the compensation could not be written to the servo drive");
        m.state = 999;
      }
      if (r == StepResult::kDone) m.state = m.state == 1 ? 10 : 20;
      break;
    }
    case 10:
      if (startOutwardMove(*c.cobot, j, travel, speed, c.start_joints, m.move)) m.state = 11;
      break;
    case 11:
    case 21:
      switch (pollTestMove(*c.cobot, m.move, j, speed, m.samples)) {
        case MovePoll::kFinished:
          evaluateMove(c, m, kind, j, grid.step);
          m.state = m.state == 11 ? 12 : 0;
          break;
        case MovePoll::kFailed:
          m.failure.set(m.state == 11 ? "the outward move" : "the return move", m.move);
          m.state = 999;
          break;
        case MovePoll::kWaiting:
          break;
      }
      break;
    case 12:
      m.samples.clear();
      m.state = allAbove(m, grid.limit) ? 99 : 13;
      break;
    case 20:
      startReturnMove(*c.cobot, c.start_joints, travel, speed, m.move);
      m.state = 21;
      break;
    case 99:
      done[j] = true;
      break;
    default:  // 999 and unknown states: nothing
      break;
  }
  stageFailed(m.state, m.failure,
              kind == ScanKind::kPhase ? "vibrationPhaseId" : "vibrationCurrentId", j, c);
}

}  // namespace

void VibrationTestHandler::vibrationPhaseId(bool const& start, unsigned char const& joint,
                                            double const& travel, double const& current,
                                            double const& phase_start, double const& phase_max,
                                            double const& phase_step) {
  static ScanMachine phase_id;
  stepScan(*this, phase_id, ScanKind::kPhase, start, joint, travel, current,
           ScanGrid{phase_start, phase_max, phase_step}, phase_done);
}

void VibrationTestHandler::vibrationCurrentId(bool const& start, unsigned char const& joint,
                                              double const& travel, double const& current_start,
                                              double const& current_max,
                                              double const& current_step) {
  static ScanMachine current_id;
  stepScan(*this, current_id, ScanKind::kCurrent, start, joint, travel, 0.0,
           ScanGrid{current_start, current_max, current_step}, current_done);
}

}  // namespace vb
