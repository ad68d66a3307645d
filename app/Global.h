// Process-wide state shared by the test component (control thread) and the web
// commands (web thread).
//
// Exchange rules, so that the 4 ms control thread never waits for the web thread:
// - Commands and requests written by the web side are atomics: either side reads and
//   writes them at any time.
// - Everything else (motor data, nominal orders, test state, the result tables) is
//   guarded by `table_mutex`. Nobody holds it while printing, doing I/O or building a
//   reply: holders copy in or out and release it. The control thread only ever uses
//   try_lock on it and retries in its next cycle when the lock is busy.
// - `rootPath` and `vb_software_version` are written before any other thread exists.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace vb {
namespace GlobalValue {

constexpr int kJoints = 6;

// Commands and settings (web side writes, control cycle reads).
extern std::atomic<int> vb_test_cmd;          // 1 start, 0 stop
extern std::atomic<int> vb_test_mode;         // joint 0..5, or 99 for all joints in turn
extern std::atomic<bool> vb_high_speed_mode;  // read by the traversal when it is reset
extern std::atomic<bool>
    vb_activate_param[kJoints];  // activation requests; set back by the dispatcher

// Guards every variable below this line up to rootPath.
extern std::mutex table_mutex;

extern int vb_test_state;  // 0 idle or resetting, 1 running, 2 finished

extern std::vector<short> robot_motor_pole_pair;  // six entries of 8 at start
extern std::vector<short> robot_stator_slots;     // six entries of 18 at start
extern std::vector<short> robot_axis_ratio;       // six entries of 101 at start
extern unsigned int vb_feat_freq_order[kJoints][3];

extern double vb_max_vib_target_vel[kJoints];
extern double vb_first_freq[kJoints];
extern double vb_second_freq[kJoints];
extern double vb_third_freq[kJoints];
extern unsigned int vb_first_order[kJoints];
extern unsigned int vb_second_order[kJoints];
extern unsigned int vb_third_order[kJoints];
extern unsigned int vb_first_feat_order[kJoints];
extern unsigned int vb_second_feat_order[kJoints];
extern unsigned int vb_third_feat_order[kJoints];
extern double vb_first_freq_vib_amp[kJoints];
extern double vb_second_freq_vib_amp[kJoints];
extern double vb_third_freq_vib_amp[kJoints];
extern double vb_first_optimum_phase[kJoints];
extern double vb_second_optimum_phase[kJoints];
extern double vb_third_optimum_phase[kJoints];
extern double vb_first_optimum_current[kJoints];
extern double vb_second_optimum_current[kJoints];
extern double vb_third_optimum_current[kJoints];
extern double vb_first_optimum_amp[kJoints];
extern double vb_second_optimum_amp[kJoints];
extern double vb_third_optimum_amp[kJoints];
extern unsigned int vb_first_servo_param[kJoints];
extern unsigned int vb_second_servo_param[kJoints];
extern unsigned int vb_third_servo_param[kJoints];

// Written before the web thread starts, read without a lock.
extern std::string rootPath;
extern std::string vb_software_version;

}  // namespace GlobalValue
}  // namespace vb
