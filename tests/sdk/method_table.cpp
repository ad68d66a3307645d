#include "method_table.h"

#include <string>
#include <utility>
#include <vector>

namespace vb::test {

using OvraRPC::OvraCobot;

namespace {

using Doubles = std::vector<double>;
using Bytes = std::vector<signed char>;
using Shorts = std::vector<short>;
using Strings = std::vector<std::string>;
using Files = std::map<std::string, int>;

constexpr bool kEmptied = true;
constexpr bool kKept = false;

// Argument values: different within every call, so that two swapped arguments show.
const Doubles kD1{1.25, -2.5};
const Doubles kD2{3.75};
const Doubles kD3{-4.5, 5.25, 6.0};
const Doubles kD4{7.125, 0.0};
const Bytes kB1{1, -56, 127};
const Bytes kB2{-1};
const Bytes kB3{0, 2};
const Shorts kW{-32768, 7};
const std::vector<int> kI{3, -9};
const std::vector<bool> kF{true, false, false, true, false, true};
const std::vector<Doubles> kPoses{{1, 2, 3, 4, 5, 6}, {7, 8, 9}};
const OvraRPC::OP kOp{2, 3, true, 0.125, 0.375, "first", 4, 5, false, 0.625, 0.875, "second"};

// What an out-parameter holds before the call; different from every script.
template <typename C>
C stale();
template <>
Doubles stale() {
  return {9.5, 9.75};
}
template <>
Bytes stale() {
  return {9, 9};
}
template <>
Shorts stale() {
  return {99};
}
template <>
Strings stale() {
  return {"old"};
}
template <>
std::string stale() {
  return "old";
}
template <>
Files stale() {
  return {{"old", 9}};
}

// The part of the script that a method of result type T answers with.
template <typename T>
T scripted(const Script& s);
template <>
int scripted(const Script& s) {
  return s.i32;
}
template <>
bool scripted(const Script& s) {
  return s.flag;
}
template <>
double scripted(const Script& s) {
  return s.real;
}
template <>
Doubles scripted(const Script& s) {
  return s.doubles;
}
template <>
Bytes scripted(const Script& s) {
  return s.bytes;
}
template <>
Shorts scripted(const Script& s) {
  return s.shorts;
}
template <>
Strings scripted(const Script& s) {
  return s.strings;
}
template <>
std::string scripted(const Script& s) {
  return s.str;
}
template <>
Files scripted(const Script& s) {
  return Files(s.files.begin(), s.files.end());
}

// A method with an int, bool or double result.
template <typename R, typename Call>
struct Scalar {
  const char* name;
  R error;
  Call call;
  template <typename... Args>
  MethodRow operator()(const Args&... args) const {
    return {name, text(error),
            [call = call, args...](OvraCobot& c) { return text(call(c, args...)); },
            CallText{name}(args...), [](const Script& s) { return text(scripted<R>(s)); }};
  }
};
template <typename R, typename Call>
Scalar<R, Call> scalar(const char* name, R error, Call call) {
  return {name, error, call};
}

// A void RPC: nothing to observe but the call itself.
template <typename Call>
struct Void {
  const char* name;
  Call call;
  template <typename... Args>
  MethodRow operator()(const Args&... args) const {
    return {name, "",
            [call = call, args...](OvraCobot& c) {
              call(c, args...);
              return std::string();
            },
            CallText{name}(args...), [](const Script&) { return std::string(); }};
  }
};
template <typename Call>
Void<Call> voidCall(const char* name, Call call) {
  return {name, call};
}

// A method whose result comes back through its first parameter, of type C.
template <typename C, typename Call>
struct Out {
  const char* name;
  bool emptied;
  Call call;
  template <typename... Args>
  MethodRow operator()(const Args&... args) const {
    return {name, emptied ? text(C{}) : text(stale<C>()),
            [call = call, args...](OvraCobot& c) {
              C out = stale<C>();
              call(c, out, args...);
              return text(out);
            },
            CallText{name}(args...), [](const Script& s) { return text(scripted<C>(s)); }};
  }
};
template <typename C, typename Call>
Out<C, Call> out(const char* name, bool emptied, Call call) {
  return {name, emptied, call};
}

MethodRow sentAs(MethodRow row, std::string sent) {
  row.sent = std::move(sent);
  return row;
}

#define SCALAR(m, error) scalar(#m, error, [](OvraCobot& c, const auto&... a) { return c.m(a...); })
#define VOID_CALL(m) voidCall(#m, [](OvraCobot& c, const auto&... a) { c.m(a...); })
#define OUT(C, rule, m) out<C>(#m, rule, [](OvraCobot& c, C& r, const auto&... a) { c.m(r, a...); })

}  // namespace

std::vector<MethodRow> methodTable() {
  return {
      SCALAR(power_on, -1)(true),
      SCALAR(power_off, -1)(true),
      SCALAR(enable, -1)(true),
      SCALAR(disable, -1)(true),
      SCALAR(shutdown, -1)(true),
      SCALAR(stop, -1)(true),
      SCALAR(pause, -1)(true),
      SCALAR(resume, -1)(true),
      SCALAR(run_program, -1)("name", true),
      SCALAR(set_tool_data, -1)("name", kD1, kD2, kD3),
      OUT(Doubles, kEmptied, get_tool_load)(),
      OUT(Doubles, kEmptied, get_tcp_offset)(),
      SCALAR(set_wobj, -1)("name", kD1),
      SCALAR(set_wobj_offset, -1)(kD1),
      OUT(Doubles, kEmptied, get_wobj)(),
      OUT(Doubles, kKept, cal_fkine)(kD1, kD2, kD3),
      OUT(Doubles, kKept, cal_ikine)(kD1, kD2, kD3, kD4),
      SCALAR(set_standard_digital_out, -1)(3, true, false),
      SCALAR(set_tool_digital_out, -1)(3, true, false),
      SCALAR(get_standard_digital_in, false)(3),
      SCALAR(get_standard_digital_out, false)(3),
      SCALAR(get_tool_digital_in, false)(3),
      SCALAR(get_tool_digital_out, false)(3),
      SCALAR(get_config_digital_in, false)(3),
      SCALAR(get_standard_analog_voltage_in, -1.0)(3),
      SCALAR(get_tool_analog_voltage_in, -1.0)(3),
      SCALAR(get_standard_analog_current_in, -1.0)(3),
      SCALAR(set_standard_analog_voltage_out, -1)(3, 0.25, true),
      SCALAR(set_standard_analog_current_out, -1)(3, 0.25, true),
      OUT(Bytes, kEmptied, read_raw_data_485)(11),
      OUT(Bytes, kKept, read_raw_data_485_ht)(kB1, kB2),
      OUT(Bytes, kKept, read_raw_data_485_h)(kB1, 11),
      SCALAR(write_raw_data_485, false)(kB1),
      SCALAR(write_raw_data_485_h, true)(kB1, kB2),
      SCALAR(write_raw_data_485_ht, true)(kB1, kB2, kB3),
      OUT(Bytes, kKept, tool_read_raw_data_485)(11),
      OUT(Bytes, kKept, tool_read_raw_data_485_h)(kB1, 11),
      OUT(Bytes, kKept, tool_read_raw_data_485_ht)(kB1, kB2),
      SCALAR(tool_write_raw_data_485, false)(kB1),
      SCALAR(tool_write_raw_data_485_h, true)(kB1, kB2),
      SCALAR(tool_write_raw_data_485_ht, true)(kB1, kB2, kB3),
      OUT(Bytes, kKept, read_raw_data_can)(),
      SCALAR(write_raw_data_can, false)(11, kB1),
      SCALAR(get_function_digital_in, true)(3),
      SCALAR(get_function_digital_out, true)(3),
      SCALAR(read_bool_reg, false)(3),
      SCALAR(read_word_reg, -1)(3),
      SCALAR(read_float_reg, -1.0)(3),
      SCALAR(write_bool_reg, -1)(3, true),
      SCALAR(write_word_reg, -1)(3, 11),
      SCALAR(write_float_reg, -1)(3, 0.25),
      SCALAR(get_function_reg_in, true)(3),
      SCALAR(get_function_reg_out, true)(3),
      SCALAR(movej, -1)(kD1, 0.25, 0.5, 0.75, true, kOp),
      SCALAR(movej_pose, -1)(kD1, 0.25, 0.5, 0.75, kD2, "tool", "wobj", true, kOp),
      SCALAR(movej2, -1)(kD1, 0.25, 0.5, 0.75, true, kOp),
      SCALAR(movej_pose2, -1)(kD1, 0.25, 0.5, 0.75, kD2, "tool", "wobj", true, kOp),
      SCALAR(movel, -1)(kD1, 0.25, 0.5, 0.75, kD2, "tool", "wobj", true, kOp),
      SCALAR(movec, -1)(kD1, kD2, 0.25, 0.5, 0.75, 11, kD3, "tool", "wobj", true, kOp),
      // mode travels as the i32 1 or 0.
      sentAs(
          SCALAR(move_circle, -1)(kD1, kD2, 0.25, 0.5, 0.75, true, kD3, "tool", "wobj", false, kOp),
          CallText{"move_circle"}(kD1, kD2, 0.25, 0.5, 0.75, 1, kD3, "tool", "wobj", false, kOp)),
      sentAs(
          SCALAR(move_circle, -1)(kD1, kD2, 0.25, 0.5, 0.75, false, kD3, "tool", "wobj", true, kOp),
          CallText{"move_circle"}(kD1, kD2, 0.25, 0.5, 0.75, 0, kD3, "tool", "wobj", true, kOp)),
      SCALAR(tcp_move, -1)(kD1, 0.25, 0.5, 0.75, "tool", true, kOp),
      SCALAR(tcp_move_2p, -1)(kD1, kD2, 0.25, 0.5, 0.75, "tool", "wobj", true, kOp),
      SCALAR(spline, -1)(kPoses, 0.25, 0.5, "tool", "wobj", true, kOp),
      SCALAR(speedj, -1)(kD1, 0.25, 11, true),
      SCALAR(speedl, -1)(kD1, 0.25, 11, true),
      SCALAR(speed_stop, -1)(true),
      SCALAR(servoj, -1)(kD1, 0.25, 0.5, true, 0.75, 1.25),
      SCALAR(servoj_pose, -1)(kD1, 0.25, 0.5, kD2, "tool", "wobj", true, 0.75, 1.25),
      SCALAR(servo_tcp, -1)(kD1, 0.25, 0.5, "tool", true, 0.75, 1.25),
      SCALAR(teach_mode, -1)(true),
      SCALAR(end_teach_mode, -1)(true),
      SCALAR(modbus_add_signal, -1)("ip", 11, 12, 13, "signal_name"),
      SCALAR(modbus_delete_signal, -1)("signal_name"),
      SCALAR(modbus_read, -1)("signal_name"),
      SCALAR(modbus_write, -1)("signal_name", 11),
      VOID_CALL(modbus_set_frequency)("signal_name", 11),
      OUT(Strings, kKept, get_last_error)(),
      SCALAR(get_noneblock_taskstate, -1)(11),
      VOID_CALL(log_info)("message"),
      VOID_CALL(log_error)("message"),
      SCALAR(simulation, -1)(true, false),
      SCALAR(speed, -1)(0.25),
      OUT(Bytes, kEmptied, get_robot_state)(),
      OUT(Doubles, kEmptied, get_flange_pose)(),
      OUT(Doubles, kEmptied, get_flange_speed)(),
      OUT(Doubles, kEmptied, get_flange_acceleration)(),
      OUT(Doubles, kEmptied, get_tcp_pose)(),
      OUT(Doubles, kEmptied, get_tcp_speed)(),
      OUT(Doubles, kEmptied, get_tcp_acceleration)(),
      OUT(Doubles, kEmptied, get_tcp_force)(),
      OUT(Doubles, kEmptied, get_actual_joints_position)(),
      OUT(Doubles, kEmptied, get_target_joints_position)(),
      OUT(Doubles, kEmptied, get_actual_joints_speed)(),
      OUT(Doubles, kEmptied, get_target_joints_speed)(),
      OUT(Doubles, kEmptied, get_actual_joints_acceleration)(),
      OUT(Doubles, kEmptied, get_target_joints_acceleration)(),
      OUT(Doubles, kEmptied, get_actual_joints_torque)(),
      OUT(Doubles, kKept, get_target_joints_torque)(),
      SCALAR(stop_record_track, -1)(),
      // The SDK adds interval: 0.5 for mode 1, 5.0 for any other mode.
      sentAs(SCALAR(start_record_track, -1)("name", 1, "tool", "wobj"),
             CallText{"start_record_track"}("name", 1, "tool", "wobj", 0.5)),
      sentAs(SCALAR(start_record_track, -1)("name", 0, "tool", "wobj"),
             CallText{"start_record_track"}("name", 0, "tool", "wobj", 5.0)),
      sentAs(SCALAR(start_record_track, -1)("name", 2, "tool", "wobj"),
             CallText{"start_record_track"}("name", 2, "tool", "wobj", 5.0)),
      SCALAR(collision_detect, -1)(11),
      SCALAR(replay, -1)("name", 11, 12),
      SCALAR(set_load_data, -1)(kD1),
      SCALAR(fc_start, -1)(),
      SCALAR(fc_stop, -1)(),
      SCALAR(fc_config, -1)(kF, kD1, kD2, kD3, kD4, "tool", "wobj", 11),
      SCALAR(fc_move, -1)(),
      SCALAR(fc_guard_act, -1)(kF, kD1, "tool", "wobj", 11),
      SCALAR(fc_guard_deact, -1)(),
      SCALAR(fc_force_set_value, -1)(kF, kD1),
      SCALAR(fc_wait_pos, -1)(kD1, kD2, true, 11, 12),
      SCALAR(fc_wait_vel, -1)(kD1, kD2, true, 11, 12),
      SCALAR(fc_wait_ft, -1)(kD1, kD2, true, 11, 12),
      SCALAR(fc_wait_logic, -1)(kI),
      OUT(Doubles, kKept, fc_get_ft)(),
      SCALAR(fc_mode_is_active, true)(),
      SCALAR(start_realtime_mode, -1)(11),
      SCALAR(end_realtime_mode, -1)(),
      SCALAR(enable_speed_optimization, -1)(),
      SCALAR(disable_speed_optimization, -1)(),
      SCALAR(set_system_value_bool, -1)("name", true),
      SCALAR(set_system_value_double, -1)("name", 0.25),
      SCALAR(set_system_value_str, -1)("name", "value"),
      SCALAR(set_system_value_list, -1)("name", kD1),
      SCALAR(get_system_value_bool, true)("name"),
      SCALAR(get_system_value_double, -1.0)("name"),
      OUT(std::string, kKept, get_system_value_str)("name"),
      OUT(Doubles, kKept, get_system_value_list)("name"),
      SCALAR(trackEnqueue, -1)(kPoses, true),
      SCALAR(trackClearQueue, -1)(),
      SCALAR(getQueueSize, -1)(),
      SCALAR(trackJointMotion, -1)(0.25, 0.5, true),
      // The SDK adds radius 0.005.
      sentAs(SCALAR(trackCartMotion, -1)(0.25, 0.5, true, "tool", "wobj"),
             CallText{"trackCartMotion"}(0.25, 0.5, true, "tool", "wobj", 0.005)),
      VOID_CALL(rpc_heartbeat)(11),
      SCALAR(move_spiral, -1)(kD1, kD2, 0.25, 0.5, 0.75, 11, 1.25, 1.5, kD3, "tool", "wobj", true,
                              kOp),
      SCALAR(enable_acc_optimization, -1)(),
      SCALAR(disable_acc_optimization, -1)(),
      SCALAR(set_baudrate_485, -1)(11, true),
      SCALAR(set_baudrate_can, -1)(11, true),
      SCALAR(set_analog_output_mode, -1)(3, 11, true),
      SCALAR(robotmoving, true)(),
      SCALAR(modbus_write_multiple_coils, -1)(11, "name", 12, kB1),
      SCALAR(modbus_write_multiple_regs, -1)(11, "name", 12, kW),
      OUT(std::string, kKept, get_current_project)(),
      OUT(Files, kKept, get_files_list)("path"),
      // getRobotStatus: status record tests.
      // getRobotIOStatus: status record tests.
      OUT(Doubles, kKept, get_tcp_pose_coord)("tool", "wobj"),
      OUT(Doubles, kKept, get_tcp_force_tool)("tool"),
      SCALAR(set_servo_config, -1)(11, 12, 13, 14, true),
      SCALAR(apply_servo_config, -1)(11, true),
      OUT(Shorts, kKept, get_motor_pole_pair_number)(),
      OUT(Shorts, kKept, get_motor_stator_slots)(),
      OUT(Shorts, kKept, get_axis_ratio)(),
      SCALAR(collision_detection_reset, -1)(),
      SCALAR(set_servo_file_params, -1)(11, 12, "name", 0.25, 0.5),
  };
}

}  // namespace vb::test
