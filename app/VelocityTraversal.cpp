// Velocity traversal: out and back at each speed of the grid, spectrum of both moves, and the
// speed whose strongest motor-order component beats every earlier speed becomes the worst speed.
//
// An outward move that cannot be started or that the controller reports in error ends the
// traversal with the speeds before it, and says so on standard error; any other task fault (the
// return move's, or an outward move that overran its time and was stopped) fails it, and a failed
// traversal leaves no worst speed.
//
// Control thread, one state per cycle. Real-time safe: no exceptions, no allocation of its own
// (the RPC layer aside) once the buffers reserved at the first call stand, and its result lines go
// through the non-blocking output channel.
#include <algorithm>
#include <cmath>

#include "ControlOutput.h"
#include "Global.h"
#include "OvraCobot.h"
#include "TestMoves.h"
#include "VibrationTestHandler.h"

namespace vb {
namespace {

// A spectral peak taken as a slot's component.
struct Candidate {
  double freq = 0.0;
  double order = 0.0;
  unsigned int feat_order = 0;
  double amp = 0.0;
};

}  // namespace

void VibrationTestHandler::velocityTraversal(bool const& start, unsigned char const& joint,
                                             double const& travel, double const& speed_start,
                                             double const& speed_max, double const& speed_step) {
  static int vel_trav_state = 0;
  static double current_velo = 0.0;
  static TestMove move;
  static MachineFailure failure;
  static std::vector<double> vel_trav_vel_err_data = reservedSamples();
  // The spectrum of one speed; kept so that its analysis does not allocate on every speed.
  static std::vector<double> freq = reservedSpectrum();
  static std::vector<double> amp = reservedSpectrum();
  static std::vector<unsigned int> peaks = [] {
    std::vector<unsigned int> v;
    v.reserve(256);  // strict local maxima of 512 bins
    return v;
  }();

  unsigned const j = joint;
  if (!start) {
    current_velo = GlobalValue::vb_high_speed_mode.load() ? speed_max : speed_start;
    vel_trav_vel_err_data.clear();
    vel_trav_state = current_velo > speed_max ? 99 : 1;
    failure = MachineFailure{};
    return;
  }
  if (j >= kJoints || cobot == nullptr) return;

  double* const slot_freq[3] = {first_freq, second_freq, third_freq};
  double* const slot_order[3] = {first_order, second_order, third_order};
  unsigned int* const slot_feat_order[3] = {first_feat_order, second_feat_order, third_feat_order};
  double* const slot_amp[3] = {first_freq_vib_amp, second_freq_vib_amp, third_freq_vib_amp};

  switch (vel_trav_state) {
    case 0:
      vel_trav_vel_err_data.clear();
      vel_trav_state = current_velo > speed_max ? 99 : 1;
      break;
    case 1:
      vel_trav_state = 10;
      break;
    case 10:
      if (startOutwardMove(*cobot, j, travel, current_velo, start_joints, move)) {
        vel_trav_state = 11;
      }
      break;
    case 11:
      switch (pollTestMove(*cobot, move, j, current_velo, vel_trav_vel_err_data)) {
        case MovePoll::kFinished:
          vel_trav_state = 20;
          break;
        case MovePoll::kFailed:
          if (move.fault == TaskFault::kTimedOut) {
            // Our own verdict, not the controller's: the move was given up on and stopped.
            failure.set("the outward move", move);
            vel_trav_state = 999;
            break;
          }
          // Finish with the speeds analysed so far.
          reportEarlyEnd("velocityTraversal", j, "the outward move", move.fault);
          vel_trav_state = 99;
          break;
        case MovePoll::kWaiting:
          break;
      }
      break;
    case 20:
      startReturnMove(*cobot, start_joints, travel, current_velo, move);
      vel_trav_state = 21;
      break;
    case 21: {
      MovePoll const poll = pollTestMove(*cobot, move, j, current_velo, vel_trav_vel_err_data);
      if (poll == MovePoll::kFailed) {
        failure.set("the return move", move);
        vel_trav_state = 999;
        break;
      }
      if (poll != MovePoll::kFinished) break;

      velocityErrorAnalysis(vel_trav_vel_err_data, kSamplePeriod, freq, amp, peaks);
      double threshold[3];
      for (int x = 0; x < 3; ++x) threshold[x] = slot_amp[x][j];
      Candidate candidate[3];
      // A gear ratio the controller did not report matches no order.
      if (j < axis_ratio_count) {
        double const revs = (static_cast<double>(axis_ratio[j]) * current_velo) / 6.283185307179586;
        for (unsigned int const p : peaks) {
          if (p >= freq.size() || p >= amp.size()) continue;
          double const order = freq[p] / revs;
          for (int x = 0; x < 3; ++x) {
            unsigned int const nominal = feat_freq_order[j][x];
            // The last qualifying peak wins: the thresholds stay fixed during the loop.
            if (std::fabs(order - static_cast<double>(nominal)) < 1.0 && amp[p] > threshold[x]) {
              candidate[x] = Candidate{freq[p], order, nominal, amp[p]};
            }
          }
        }
      }
      double const old_max = std::max({threshold[0], threshold[1], threshold[2]});
      double const new_max = std::max({candidate[0].amp, candidate[1].amp, candidate[2].amp});
      if (new_max > old_max) {
        OutputLine() << "origin_vel_err_rmse: " << rootMeanSquare(vel_trav_vel_err_data) << '\n';
        max_vib_target_vel[j] = current_velo;
        for (int x = 0; x < 3; ++x) {
          Candidate const c = candidate[x].amp > 0.01 ? candidate[x] : Candidate{};
          slot_freq[x][j] = c.freq;
          slot_amp[x][j] = c.amp;
          slot_order[x][j] = c.order;
          slot_feat_order[x][j] = c.feat_order;
        }
      }
      current_velo = current_velo + speed_step;
      vel_trav_state = 0;
      break;
    }
    case 99: {
      static char const* const kSlotNames[3] = {" first freq: ", " second freq: ", " third freq: "};
      OutputLine() << j << " max vib velo: " << max_vib_target_vel[j] << '\n';
      for (int x = 0; x < 3; ++x) {
        OutputLine() << j << kSlotNames[x] << slot_freq[x][j] << " " << slot_order[x][j] << " "
                     << slot_feat_order[x][j] << " " << slot_amp[x][j] << '\n';
      }
      trav_done[j] = true;
      break;
    }
    default:  // 999 (below) and unknown states
      break;
  }
  // Also in the cycle that fails: the test may end with it.
  if (stageFailed(vel_trav_state, failure, "velocityTraversal", j, *this)) {
    max_vib_target_vel[j] = 0.0;
  }
}

}  // namespace vb
