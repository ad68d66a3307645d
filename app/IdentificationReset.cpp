#include <algorithm>

#include "ControlOutput.h"
#include "VibrationTestHandler.h"

namespace vb {

namespace {
constexpr int kRetryCycles = 250;  // one second of cycles
}  // namespace

void VibrationTestHandler::resetId(bool const& start, bool& done) {
  static int state = 0;
  static int reset_axis_num = 0;
  // Calls left before a joint whose clearing failed is tried again (one a cycle).
  static int retry_wait = 0;

  if (!start) {
    done = false;
    state = 0;
    return;
  }

  switch (state) {
    case 0:
      reset_axis_num = 0;
      state = 10;
      break;
    case 10: {
      std::fill_n(first_freq, kJoints, 0.0);
      std::fill_n(second_freq, kJoints, 0.0);
      std::fill_n(third_freq, kJoints, 0.0);
      std::fill_n(first_order, kJoints, 0.0);
      std::fill_n(second_order, kJoints, 0.0);
      std::fill_n(third_order, kJoints, 0.0);
      std::fill_n(first_feat_order, kJoints, 0u);
      std::fill_n(second_feat_order, kJoints, 0u);
      std::fill_n(third_feat_order, kJoints, 0u);
      std::fill_n(first_freq_vib_amp, kJoints, 0.0);
      std::fill_n(second_freq_vib_amp, kJoints, 0.0);
      std::fill_n(third_freq_vib_amp, kJoints, 0.0);
      std::fill_n(first_optimum_phase, kJoints, 0.0);
      std::fill_n(second_optimum_phase, kJoints, 0.0);
      std::fill_n(third_optimum_phase, kJoints, 0.0);
      std::fill_n(trav_done, kJoints, false);
      std::fill_n(phase_done, kJoints, false);
      std::fill_n(current_done, kJoints, false);
      std::fill_n(verified, kJoints, false);
      std::fill_n(activated, kJoints, false);
      std::fill_n(max_vib_target_vel, kJoints, kSpeedStart);

      const unsigned char joint0 = 0;
      velocityTraversal(false, joint0, kTravel, kSpeedStart, kSpeedMax, kSpeedStep);
      // A joint's activation broken off here gives the shared machines back. The servo reset
      // machine is reset as well, so that one left failed by an earlier deactivation does not
      // hold the reset for ever.
      if (activation_joint_ >= 0) {
        releaseActivation(false);
      }
      bool d = false;
      const unsigned int no_order = 0;
      const double zero = 0.0;
      setPhaseAndCurrent(false, d, joint0, no_order, zero, zero, no_order, zero, zero, no_order,
                         zero, zero);
      resetPhaseAndCurrent(false, d, joint0);
      retry_wait = 0;
      state = 20;
      break;
    }
    case 20: {
      const unsigned char axis = static_cast<unsigned char>(reset_axis_num);
      bool d = false;
      if (retry_wait > 0) {
        if (--retry_wait == 0) {
          resetPhaseAndCurrent(false, d, axis);  // the next call writes the zeros again
        }
        break;
      }
      const int r = resetPhaseAndCurrent(true, d, axis);
      if (r != 0) {
        OutputLine(OutputStream::kErr) << "resetId: clearing the servo compensation of joint "
                                       << reset_axis_num << " failed; retrying in 1 s" << '\n';
        retry_wait = kRetryCycles;
        break;
      }
      if (d) {
        resetPhaseAndCurrent(false, d, axis);
        state = 21;
      }
      break;
    }
    case 21:
      ++reset_axis_num;
      state = reset_axis_num < kJoints ? 20 : 99;
      break;
    case 99:
      done = true;
      break;
    default:
      break;
  }
}

}  // namespace vb
