#include "Global.h"

namespace vb {
namespace GlobalValue {

std::atomic<int> vb_test_cmd{0};
std::atomic<int> vb_test_mode{0};
std::atomic<bool> vb_high_speed_mode{false};
std::atomic<bool> vb_activate_param[kJoints] = {};

std::mutex table_mutex;

int vb_test_state = 0;

std::vector<short> robot_motor_pole_pair(kJoints, 8);
std::vector<short> robot_stator_slots(kJoints, 18);
std::vector<short> robot_axis_ratio(kJoints, 101);
unsigned int vb_feat_freq_order[kJoints][3] = {};

double vb_max_vib_target_vel[kJoints] = {};
double vb_first_freq[kJoints] = {};
double vb_second_freq[kJoints] = {};
double vb_third_freq[kJoints] = {};
unsigned int vb_first_order[kJoints] = {};
unsigned int vb_second_order[kJoints] = {};
unsigned int vb_third_order[kJoints] = {};
unsigned int vb_first_feat_order[kJoints] = {};
unsigned int vb_second_feat_order[kJoints] = {};
unsigned int vb_third_feat_order[kJoints] = {};
double vb_first_freq_vib_amp[kJoints] = {};
double vb_second_freq_vib_amp[kJoints] = {};
double vb_third_freq_vib_amp[kJoints] = {};
double vb_first_optimum_phase[kJoints] = {};
double vb_second_optimum_phase[kJoints] = {};
double vb_third_optimum_phase[kJoints] = {};
double vb_first_optimum_current[kJoints] = {};
double vb_second_optimum_current[kJoints] = {};
double vb_third_optimum_current[kJoints] = {};
double vb_first_optimum_amp[kJoints] = {};
double vb_second_optimum_amp[kJoints] = {};
double vb_third_optimum_amp[kJoints] = {};
unsigned int vb_first_servo_param[kJoints] = {};
unsigned int vb_second_servo_param[kJoints] = {};
unsigned int vb_third_servo_param[kJoints] = {};

std::string rootPath;
std::string vb_software_version = "1.2.0";

}  // namespace GlobalValue
}  // namespace vb
