// Verification: the identified compensation of all three slots applied at once, one pair of
// moves at the worst speed, the residual amplitudes measured over both, then the servo words
// computed and the joint marked verified.
//
// Control thread, one state per cycle. Real-time safe: no exceptions, no allocation of its own
// (the RPC layer aside) once the buffers reserved at the first call stand, and its result lines go
// through the non-blocking output channel.
#include "ControlOutput.h"
#include "OvraCobot.h"
#include "TestMoves.h"
#include "VibrationTestHandler.h"

namespace vb {

void VibrationTestHandler::verifyIdResult(bool const& start, unsigned char const& joint,
                                          double const& travel) {
  static int state = 0;
  static TestMove move;
  static MachineFailure failure;
  static std::vector<double> vel_err_data = reservedSamples();

  if (!start) {
    state = 1;
    vel_err_data.clear();
    failure = MachineFailure{};
    return;
  }
  unsigned const j = joint;
  if (j >= kJoints || cobot == nullptr) return;
  double const speed = max_vib_target_vel[j];

  switch (state) {
    case 0:
      state = 1;
      vel_err_data.clear();
      break;
    case 1: {
      double const phase[3] = {first_optimum_phase[j], second_optimum_phase[j],
                               third_optimum_phase[j]};
      double const current[3] = {first_optimum_current[j], second_optimum_current[j],
                                 third_optimum_current[j]};
      StepResult const r = applyCompensation(*this, joint, phase, current);
      if (r == StepResult::kFailed) {
        failure.set("the optimum could not be written to the servo drive");
        state = 999;
      }
      if (r == StepResult::kDone) state = 10;
      break;
    }
    case 10:
      if (startOutwardMove(*cobot, j, travel, speed, start_joints, move)) state = 11;
      break;
    case 11:
    case 21:
      switch (pollTestMove(*cobot, move, j, speed, vel_err_data)) {
        case MovePoll::kFinished:
          if (state == 11) {
            state = 20;  // the samples stay: both moves are analysed together
            break;
          }
          // Fewer than two samples measure nothing: the residual amplitudes stay as they were.
          if (vel_err_data.size() >= 2) {
            velocityErrorAnalysisSpecific(
                vel_err_data, kSamplePeriod, first_freq[j], first_optimum_amp[j], second_freq[j],
                second_optimum_amp[j], third_freq[j], third_optimum_amp[j]);
            OutputLine() << "final_vel_err_rmse: " << rootMeanSquare(vel_err_data) << '\n';
          }
          state = 99;
          break;
        case MovePoll::kFailed:
          failure.set(state == 11 ? "the outward move" : "the return move", move);
          state = 999;
          break;
        case MovePoll::kWaiting:
          break;
      }
      break;
    case 20:
      startReturnMove(*cobot, start_joints, travel, speed, move);
      state = 21;
      break;
    case 99: {
      unsigned int const* const feat_order[3] = {first_feat_order, second_feat_order,
                                                 third_feat_order};
      double const* const optimum_phase[3] = {first_optimum_phase, second_optimum_phase,
                                              third_optimum_phase};
      double const* const optimum_current[3] = {first_optimum_current, second_optimum_current,
                                                third_optimum_current};
      unsigned int* const servo_param[3] = {first_servo_param, second_servo_param,
                                            third_servo_param};
      double const* const freq[3] = {first_freq, second_freq, third_freq};
      double const* const vib_amp[3] = {first_freq_vib_amp, second_freq_vib_amp,
                                        third_freq_vib_amp};
      double const* const optimum_amp[3] = {first_optimum_amp, second_optimum_amp,
                                            third_optimum_amp};
      for (int x = 0; x < 3; ++x) {
        unsigned int const order = feat_order[x][j];
        servo_param[x][j] =
            order != 0 ? servoWord(order, optimum_phase[x][j], optimum_current[x][j]) : 0u;
      }
      OutputLine() << j << " optimum result: " << '\n';
      for (int x = 0; x < 3; ++x) {
        OutputLine() << freq[x][j] << " " << feat_order[x][j] << " " << vib_amp[x][j] << " "
                     << optimum_amp[x][j] << "  " << optimum_phase[x][j] << " "
                     << optimum_current[x][j] << " " << servo_param[x][j] << '\n';
      }
      verified[j] = true;
      break;
    }
    default:  // 999 and unknown states: nothing
      break;
  }
  stageFailed(state, failure, "verifyIdResult", j, *this);
}

}  // namespace vb
