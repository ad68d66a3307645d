// The fake controller's handler: records every call as text (CallText) and answers from a
// script that the test sets. Runs on the fake controller's connection threads.
#pragma once

#include <RPCRobot.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "call_text.h"

namespace vb::test {

// What the controller answers, by result type.
struct Script {
  int32_t i32 = 0;
  bool flag = false;
  double real = 0.0;
  std::vector<double> doubles;
  std::vector<int8_t> bytes;
  std::vector<int16_t> shorts;
  std::vector<std::string> strings;
  std::string str;
  std::map<std::string, int32_t> files;
  RobotStatus robot_status;
  IOStatus io_status;
};

class RecordingHandler : public RPCRobotIf {
 public:
  void setScript(Script script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  void clearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }

  int32_t power_on(const bool block) override { return record(CallText{"power_on"}(block)).i32; }
  int32_t power_off(const bool block) override { return record(CallText{"power_off"}(block)).i32; }
  int32_t enable(const bool block) override { return record(CallText{"enable"}(block)).i32; }
  int32_t disable(const bool block) override { return record(CallText{"disable"}(block)).i32; }
  int32_t shutdown(const bool block) override { return record(CallText{"shutdown"}(block)).i32; }
  int32_t stop(const bool block) override { return record(CallText{"stop"}(block)).i32; }
  int32_t pause(const bool block) override { return record(CallText{"pause"}(block)).i32; }
  int32_t resume(const bool block) override { return record(CallText{"resume"}(block)).i32; }
  int32_t run_program(const std::string& name, const bool block) override {
    return record(CallText{"run_program"}(name, block)).i32;
  }
  int32_t set_tool_data(const std::string& name, const std::vector<double>& tool_offset,
                        const std::vector<double>& payload,
                        const std::vector<double>& inertia_tensor) override {
    return record(CallText{"set_tool_data"}(name, tool_offset, payload, inertia_tensor)).i32;
  }
  void get_tool_load(std::vector<double>& _return) override {
    _return = record(CallText{"get_tool_load"}()).doubles;
  }
  void get_tcp_offset(std::vector<double>& _return) override {
    _return = record(CallText{"get_tcp_offset"}()).doubles;
  }
  int32_t set_wobj(const std::string& name, const std::vector<double>& wobj) override {
    return record(CallText{"set_wobj"}(name, wobj)).i32;
  }
  int32_t set_wobj_offset(const std::vector<double>& wobj) override {
    return record(CallText{"set_wobj_offset"}(wobj)).i32;
  }
  void get_wobj(std::vector<double>& _return) override {
    _return = record(CallText{"get_wobj"}()).doubles;
  }
  void cal_fkine(std::vector<double>& _return, const std::vector<double>& joints_position,
                 const std::vector<double>& tool, const std::vector<double>& wobj) override {
    _return = record(CallText{"cal_fkine"}(joints_position, tool, wobj)).doubles;
  }
  void cal_ikine(std::vector<double>& _return, const std::vector<double>& p,
                 const std::vector<double>& q_near, const std::vector<double>& tool,
                 const std::vector<double>& wobj) override {
    _return = record(CallText{"cal_ikine"}(p, q_near, tool, wobj)).doubles;
  }
  int32_t set_standard_digital_out(const int16_t num, const bool value, const bool block) override {
    return record(CallText{"set_standard_digital_out"}(num, value, block)).i32;
  }
  int32_t set_tool_digital_out(const int16_t num, const bool value, const bool block) override {
    return record(CallText{"set_tool_digital_out"}(num, value, block)).i32;
  }
  bool get_standard_digital_in(const int16_t num) override {
    return record(CallText{"get_standard_digital_in"}(num)).flag;
  }
  bool get_standard_digital_out(const int16_t num) override {
    return record(CallText{"get_standard_digital_out"}(num)).flag;
  }
  bool get_tool_digital_in(const int16_t num) override {
    return record(CallText{"get_tool_digital_in"}(num)).flag;
  }
  bool get_tool_digital_out(const int16_t num) override {
    return record(CallText{"get_tool_digital_out"}(num)).flag;
  }
  bool get_config_digital_in(const int16_t num) override {
    return record(CallText{"get_config_digital_in"}(num)).flag;
  }
  double get_standard_analog_voltage_in(const int16_t num) override {
    return record(CallText{"get_standard_analog_voltage_in"}(num)).real;
  }
  double get_tool_analog_voltage_in(const int16_t num) override {
    return record(CallText{"get_tool_analog_voltage_in"}(num)).real;
  }
  double get_standard_analog_current_in(const int16_t num) override {
    return record(CallText{"get_standard_analog_current_in"}(num)).real;
  }
  int32_t set_standard_analog_voltage_out(const int16_t num, const double value,
                                          const bool block) override {
    return record(CallText{"set_standard_analog_voltage_out"}(num, value, block)).i32;
  }
  int32_t set_standard_analog_current_out(const int16_t num, const double value,
                                          const bool block) override {
    return record(CallText{"set_standard_analog_current_out"}(num, value, block)).i32;
  }
  void read_data_485(std::vector<int8_t>& _return) override {
    _return = record(CallText{"read_data_485"}()).bytes;
  }
  void read_raw_data_485(std::vector<int8_t>& _return, const int32_t len) override {
    _return = record(CallText{"read_raw_data_485"}(len)).bytes;
  }
  void read_raw_data_485_ht(std::vector<int8_t>& _return, const std::vector<int8_t>& head,
                            const std::vector<int8_t>& tail) override {
    _return = record(CallText{"read_raw_data_485_ht"}(head, tail)).bytes;
  }
  void read_raw_data_485_h(std::vector<int8_t>& _return, const std::vector<int8_t>& head,
                           const int32_t len) override {
    _return = record(CallText{"read_raw_data_485_h"}(head, len)).bytes;
  }
  bool write_data_485(const std::vector<int8_t>& data) override {
    return record(CallText{"write_data_485"}(data)).flag;
  }
  bool write_raw_data_485(const std::vector<int8_t>& data) override {
    return record(CallText{"write_raw_data_485"}(data)).flag;
  }
  bool write_raw_data_485_h(const std::vector<int8_t>& data,
                            const std::vector<int8_t>& head) override {
    return record(CallText{"write_raw_data_485_h"}(data, head)).flag;
  }
  bool write_raw_data_485_ht(const std::vector<int8_t>& data, const std::vector<int8_t>& head,
                             const std::vector<int8_t>& tail) override {
    return record(CallText{"write_raw_data_485_ht"}(data, head, tail)).flag;
  }
  void tool_read_data_485(std::vector<int8_t>& _return) override {
    _return = record(CallText{"tool_read_data_485"}()).bytes;
  }
  void tool_read_raw_data_485(std::vector<int8_t>& _return, const int32_t len) override {
    _return = record(CallText{"tool_read_raw_data_485"}(len)).bytes;
  }
  void tool_read_raw_data_485_h(std::vector<int8_t>& _return, const std::vector<int8_t>& head,
                                const int32_t len) override {
    _return = record(CallText{"tool_read_raw_data_485_h"}(head, len)).bytes;
  }
  void tool_read_raw_data_485_ht(std::vector<int8_t>& _return, const std::vector<int8_t>& head,
                                 const std::vector<int8_t>& tail) override {
    _return = record(CallText{"tool_read_raw_data_485_ht"}(head, tail)).bytes;
  }
  bool tool_write_data_485(const std::vector<int8_t>& data) override {
    return record(CallText{"tool_write_data_485"}(data)).flag;
  }
  bool tool_write_raw_data_485(const std::vector<int8_t>& data) override {
    return record(CallText{"tool_write_raw_data_485"}(data)).flag;
  }
  bool tool_write_raw_data_485_h(const std::vector<int8_t>& data,
                                 const std::vector<int8_t>& head) override {
    return record(CallText{"tool_write_raw_data_485_h"}(data, head)).flag;
  }
  bool tool_write_raw_data_485_ht(const std::vector<int8_t>& data, const std::vector<int8_t>& head,
                                  const std::vector<int8_t>& tail) override {
    return record(CallText{"tool_write_raw_data_485_ht"}(data, head, tail)).flag;
  }
  void read_data_can(std::vector<int8_t>& _return) override {
    _return = record(CallText{"read_data_can"}()).bytes;
  }
  void read_raw_data_can(std::vector<int8_t>& _return) override {
    _return = record(CallText{"read_raw_data_can"}()).bytes;
  }
  bool write_data_can(const int32_t id, const std::vector<int8_t>& data) override {
    return record(CallText{"write_data_can"}(id, data)).flag;
  }
  bool write_raw_data_can(const int32_t id, const std::vector<int8_t>& data) override {
    return record(CallText{"write_raw_data_can"}(id, data)).flag;
  }
  bool get_function_digital_in(const int16_t num) override {
    return record(CallText{"get_function_digital_in"}(num)).flag;
  }
  bool get_function_digital_out(const int16_t num) override {
    return record(CallText{"get_function_digital_out"}(num)).flag;
  }
  bool read_bool_reg(const int16_t num) override {
    return record(CallText{"read_bool_reg"}(num)).flag;
  }
  int32_t read_word_reg(const int16_t num) override {
    return record(CallText{"read_word_reg"}(num)).i32;
  }
  double read_float_reg(const int16_t num) override {
    return record(CallText{"read_float_reg"}(num)).real;
  }
  int32_t write_bool_reg(const int16_t num, const bool value) override {
    return record(CallText{"write_bool_reg"}(num, value)).i32;
  }
  int32_t write_word_reg(const int16_t num, const int32_t value) override {
    return record(CallText{"write_word_reg"}(num, value)).i32;
  }
  int32_t write_float_reg(const int16_t num, const double value) override {
    return record(CallText{"write_float_reg"}(num, value)).i32;
  }
  bool get_function_reg_in(const int16_t num) override {
    return record(CallText{"get_function_reg_in"}(num)).flag;
  }
  bool get_function_reg_out(const int16_t num) override {
    return record(CallText{"get_function_reg_out"}(num)).flag;
  }
  int32_t movej(const std::vector<double>& joints_list, const double v, const double a,
                const double r, const bool block, const Op& op) override {
    return record(CallText{"movej"}(joints_list, v, a, r, block, op)).i32;
  }
  int32_t movej_pose(const std::vector<double>& p, const double v, const double a, const double r,
                     const std::vector<double>& q_near, const std::string& tool,
                     const std::string& wobj, const bool block, const Op& op) override {
    return record(CallText{"movej_pose"}(p, v, a, r, q_near, tool, wobj, block, op)).i32;
  }
  int32_t movej2(const std::vector<double>& joints_list, const double v, const double a,
                 const double r, const bool block, const Op& op) override {
    return record(CallText{"movej2"}(joints_list, v, a, r, block, op)).i32;
  }
  int32_t movej_pose2(const std::vector<double>& p, const double v, const double a, const double r,
                      const std::vector<double>& q_near, const std::string& tool,
                      const std::string& wobj, const bool block, const Op& op) override {
    return record(CallText{"movej_pose2"}(p, v, a, r, q_near, tool, wobj, block, op)).i32;
  }
  int32_t movel(const std::vector<double>& p, const double v, const double a, const double r,
                const std::vector<double>& q_near, const std::string& tool, const std::string& wobj,
                const bool block, const Op& op) override {
    return record(CallText{"movel"}(p, v, a, r, q_near, tool, wobj, block, op)).i32;
  }
  int32_t movec(const std::vector<double>& p1, const std::vector<double>& p2, const double v,
                const double a, const double r, const int32_t mode,
                const std::vector<double>& q_near, const std::string& tool, const std::string& wobj,
                const bool block, const Op& op) override {
    return record(CallText{"movec"}(p1, p2, v, a, r, mode, q_near, tool, wobj, block, op)).i32;
  }
  int32_t move_circle(const std::vector<double>& p1, const std::vector<double>& p2, const double v,
                      const double a, const double r, const int32_t mode,
                      const std::vector<double>& q_near, const std::string& tool,
                      const std::string& wobj, const bool block, const Op& op) override {
    return record(CallText{"move_circle"}(p1, p2, v, a, r, mode, q_near, tool, wobj, block, op))
        .i32;
  }
  int32_t tcp_move(const std::vector<double>& pose_offset, const double v, const double a,
                   const double r, const std::string& tool, const bool block,
                   const Op& op) override {
    return record(CallText{"tcp_move"}(pose_offset, v, a, r, tool, block, op)).i32;
  }
  int32_t tcp_move_2p(const std::vector<double>& p1, const std::vector<double>& p2, const double v,
                      const double a, const double r, const std::string& tool,
                      const std::string& wobj, const bool block, const Op& op) override {
    return record(CallText{"tcp_move_2p"}(p1, p2, v, a, r, tool, wobj, block, op)).i32;
  }
  int32_t spline(const std::vector<std::vector<double> >& pose_list, const double v, const double a,
                 const std::string& tool, const std::string& wobj, const bool block,
                 const Op& op) override {
    return record(CallText{"spline"}(pose_list, v, a, tool, wobj, block, op)).i32;
  }
  int32_t speedj(const std::vector<double>& joints_list, const double a, const int32_t time,
                 const bool block) override {
    return record(CallText{"speedj"}(joints_list, a, time, block)).i32;
  }
  int32_t speedl(const std::vector<double>& pose_list, const double a, const int32_t time,
                 const bool block) override {
    return record(CallText{"speedl"}(pose_list, a, time, block)).i32;
  }
  int32_t speed_stop(const bool block) override {
    return record(CallText{"speed_stop"}(block)).i32;
  }
  int32_t servoj(const std::vector<double>& joints_list, const double v, const double a,
                 const bool block, const double kp, const double kd) override {
    return record(CallText{"servoj"}(joints_list, v, a, block, kp, kd)).i32;
  }
  int32_t servoj_pose(const std::vector<double>& pose_list, const double v, const double a,
                      const std::vector<double>& q_near, const std::string& tool,
                      const std::string& wobj, const bool block, const double kp,
                      const double kd) override {
    return record(CallText{"servoj_pose"}(pose_list, v, a, q_near, tool, wobj, block, kp, kd)).i32;
  }
  int32_t servo_tcp(const std::vector<double>& pose_offset, const double v, const double a,
                    const std::string& tool, const bool block, const double kp,
                    const double kd) override {
    return record(CallText{"servo_tcp"}(pose_offset, v, a, tool, block, kp, kd)).i32;
  }
  int32_t teach_mode(const bool block) override {
    return record(CallText{"teach_mode"}(block)).i32;
  }
  int32_t end_teach_mode(const bool block) override {
    return record(CallText{"end_teach_mode"}(block)).i32;
  }
  int32_t modbus_add_signal(const std::string& ip, const int32_t slave_number,
                            const int32_t signal_address, const int32_t signal_type,
                            const std::string& signal_name) override {
    return record(CallText{"modbus_add_signal"}(ip, slave_number, signal_address, signal_type,
                                                signal_name))
        .i32;
  }
  int32_t modbus_delete_signal(const std::string& signal_name) override {
    return record(CallText{"modbus_delete_signal"}(signal_name)).i32;
  }
  int32_t modbus_read(const std::string& signal_name) override {
    return record(CallText{"modbus_read"}(signal_name)).i32;
  }
  int32_t modbus_write(const std::string& signal_name, const int32_t value) override {
    return record(CallText{"modbus_write"}(signal_name, value)).i32;
  }
  void modbus_set_frequency(const std::string& signal_name, const int32_t frequence) override {
    record(CallText{"modbus_set_frequency"}(signal_name, frequence));
  }
  void get_last_error(std::vector<std::string>& _return) override {
    _return = record(CallText{"get_last_error"}()).strings;
  }
  int32_t get_noneblock_taskstate(const int32_t id) override {
    return record(CallText{"get_noneblock_taskstate"}(id)).i32;
  }
  void log_info(const std::string& message) override { record(CallText{"log_info"}(message)); }
  void log_error(const std::string& message) override { record(CallText{"log_error"}(message)); }
  int32_t simulation(const bool sim, const bool block) override {
    return record(CallText{"simulation"}(sim, block)).i32;
  }
  int32_t speed(const double val) override { return record(CallText{"speed"}(val)).i32; }
  void get_robot_state(std::vector<int8_t>& _return) override {
    _return = record(CallText{"get_robot_state"}()).bytes;
  }
  void get_flange_pose(std::vector<double>& _return) override {
    _return = record(CallText{"get_flange_pose"}()).doubles;
  }
  void get_flange_speed(std::vector<double>& _return) override {
    _return = record(CallText{"get_flange_speed"}()).doubles;
  }
  void get_flange_acceleration(std::vector<double>& _return) override {
    _return = record(CallText{"get_flange_acceleration"}()).doubles;
  }
  void get_tcp_pose(std::vector<double>& _return) override {
    _return = record(CallText{"get_tcp_pose"}()).doubles;
  }
  void get_tcp_speed(std::vector<double>& _return) override {
    _return = record(CallText{"get_tcp_speed"}()).doubles;
  }
  void get_tcp_acceleration(std::vector<double>& _return) override {
    _return = record(CallText{"get_tcp_acceleration"}()).doubles;
  }
  void get_tcp_force(std::vector<double>& _return) override {
    _return = record(CallText{"get_tcp_force"}()).doubles;
  }
  void get_actual_joints_position(std::vector<double>& _return) override {
    _return = record(CallText{"get_actual_joints_position"}()).doubles;
  }
  void get_target_joints_position(std::vector<double>& _return) override {
    _return = record(CallText{"get_target_joints_position"}()).doubles;
  }
  void get_actual_joints_speed(std::vector<double>& _return) override {
    _return = record(CallText{"get_actual_joints_speed"}()).doubles;
  }
  void get_target_joints_speed(std::vector<double>& _return) override {
    _return = record(CallText{"get_target_joints_speed"}()).doubles;
  }
  void get_actual_joints_acceleration(std::vector<double>& _return) override {
    _return = record(CallText{"get_actual_joints_acceleration"}()).doubles;
  }
  void get_target_joints_acceleration(std::vector<double>& _return) override {
    _return = record(CallText{"get_target_joints_acceleration"}()).doubles;
  }
  void get_actual_joints_torque(std::vector<double>& _return) override {
    _return = record(CallText{"get_actual_joints_torque"}()).doubles;
  }
  void get_target_joints_torque(std::vector<double>& _return) override {
    _return = record(CallText{"get_target_joints_torque"}()).doubles;
  }
  int32_t stop_record_track() override { return record(CallText{"stop_record_track"}()).i32; }
  int32_t start_record_track(const std::string& name, const int32_t mode, const std::string& tool,
                             const std::string& wobj, const double interval) override {
    return record(CallText{"start_record_track"}(name, mode, tool, wobj, interval)).i32;
  }
  int32_t collision_detect(const int32_t value) override {
    return record(CallText{"collision_detect"}(value)).i32;
  }
  int32_t replay(const std::string& name, const int32_t value, const int32_t mode) override {
    return record(CallText{"replay"}(name, value, mode)).i32;
  }
  int32_t set_load_data(const std::vector<double>& value) override {
    return record(CallText{"set_load_data"}(value)).i32;
  }
  int32_t fc_start() override { return record(CallText{"fc_start"}()).i32; }
  int32_t fc_stop() override { return record(CallText{"fc_stop"}()).i32; }
  int32_t fc_config(const std::vector<bool>& direction, const std::vector<double>& ref_ft,
                    const std::vector<double>& damp, const std::vector<double>& max_vel,
                    const std::vector<double>& number_list, const std::string& tool,
                    const std::string& wobj, const int32_t value) override {
    return record(CallText{"fc_config"}(direction, ref_ft, damp, max_vel, number_list, tool, wobj,
                                        value))
        .i32;
  }
  int32_t fc_move() override { return record(CallText{"fc_move"}()).i32; }
  int32_t fc_guard_act(const std::vector<bool>& direction, const std::vector<double>& ref_ft,
                       const std::string& tool, const std::string& wobj,
                       const int32_t type) override {
    return record(CallText{"fc_guard_act"}(direction, ref_ft, tool, wobj, type)).i32;
  }
  int32_t fc_guard_deact() override { return record(CallText{"fc_guard_deact"}()).i32; }
  int32_t fc_force_set_value(const std::vector<bool>& direction,
                             const std::vector<double>& ref_ft) override {
    return record(CallText{"fc_force_set_value"}(direction, ref_ft)).i32;
  }
  int32_t fc_wait_pos(const std::vector<double>& middle, const std::vector<double>& range,
                      const bool absolute, const int32_t duration, const int32_t timeout) override {
    return record(CallText{"fc_wait_pos"}(middle, range, absolute, duration, timeout)).i32;
  }
  int32_t fc_wait_vel(const std::vector<double>& middle, const std::vector<double>& range,
                      const bool absolute, const int32_t duration, const int32_t timeout) override {
    return record(CallText{"fc_wait_vel"}(middle, range, absolute, duration, timeout)).i32;
  }
  int32_t fc_wait_ft(const std::vector<double>& middle, const std::vector<double>& range,
                     const bool absolute, const int32_t duration, const int32_t timeout) override {
    return record(CallText{"fc_wait_ft"}(middle, range, absolute, duration, timeout)).i32;
  }
  int32_t fc_wait_logic(const std::vector<int32_t>& value) override {
    return record(CallText{"fc_wait_logic"}(value)).i32;
  }
  void fc_get_ft(std::vector<double>& _return) override {
    _return = record(CallText{"fc_get_ft"}()).doubles;
  }
  bool fc_mode_is_active() override { return record(CallText{"fc_mode_is_active"}()).flag; }
  int32_t start_realtime_mode(const int32_t mode) override {
    return record(CallText{"start_realtime_mode"}(mode)).i32;
  }
  void change_recipe() override { record(CallText{"change_recipe"}()); }
  int32_t end_realtime_mode() override { return record(CallText{"end_realtime_mode"}()).i32; }
  int32_t enable_speed_optimization() override {
    return record(CallText{"enable_speed_optimization"}()).i32;
  }
  int32_t disable_speed_optimization() override {
    return record(CallText{"disable_speed_optimization"}()).i32;
  }
  int32_t set_system_value_bool(const std::string& name, const bool value) override {
    return record(CallText{"set_system_value_bool"}(name, value)).i32;
  }
  int32_t set_system_value_double(const std::string& name, const double value) override {
    return record(CallText{"set_system_value_double"}(name, value)).i32;
  }
  int32_t set_system_value_str(const std::string& name, const std::string& value) override {
    return record(CallText{"set_system_value_str"}(name, value)).i32;
  }
  int32_t set_system_value_list(const std::string& name,
                                const std::vector<double>& value) override {
    return record(CallText{"set_system_value_list"}(name, value)).i32;
  }
  bool get_system_value_bool(const std::string& name) override {
    return record(CallText{"get_system_value_bool"}(name)).flag;
  }
  double get_system_value_double(const std::string& name) override {
    return record(CallText{"get_system_value_double"}(name)).real;
  }
  void get_system_value_str(std::string& _return, const std::string& name) override {
    _return = record(CallText{"get_system_value_str"}(name)).str;
  }
  void get_system_value_list(std::vector<double>& _return, const std::string& name) override {
    _return = record(CallText{"get_system_value_list"}(name)).doubles;
  }
  int32_t trackEnqueue(const std::vector<std::vector<double> >& track, const bool block) override {
    return record(CallText{"trackEnqueue"}(track, block)).i32;
  }
  int32_t trackClearQueue() override { return record(CallText{"trackClearQueue"}()).i32; }
  int32_t getQueueSize() override { return record(CallText{"getQueueSize"}()).i32; }
  int32_t trackJointMotion(const double speed, const double acc, const bool block) override {
    return record(CallText{"trackJointMotion"}(speed, acc, block)).i32;
  }
  int32_t trackCartMotion(const double speed, const double acc, const bool block,
                          const std::string& tool, const std::string& wobj,
                          const double radius) override {
    return record(CallText{"trackCartMotion"}(speed, acc, block, tool, wobj, radius)).i32;
  }
  void rpc_heartbeat(const int32_t time) override { record(CallText{"rpc_heartbeat"}(time)); }
  int32_t move_spiral(const std::vector<double>& p1, const std::vector<double>& p2,
                      const double rev, const double len, const double r, const int32_t mode,
                      const double v, const double a, const std::vector<double>& q_near,
                      const std::string& tool, const std::string& wobj, const bool block,
                      const Op& op) override {
    return record(CallText{"move_spiral"}(p1, p2, rev, len, r, mode, v, a, q_near, tool, wobj,
                                          block, op))
        .i32;
  }
  int32_t enable_acc_optimization() override {
    return record(CallText{"enable_acc_optimization"}()).i32;
  }
  int32_t disable_acc_optimization() override {
    return record(CallText{"disable_acc_optimization"}()).i32;
  }
  int32_t set_baudrate_485(const int32_t value, const bool block) override {
    return record(CallText{"set_baudrate_485"}(value, block)).i32;
  }
  int32_t set_baudrate_can(const int32_t value, const bool block) override {
    return record(CallText{"set_baudrate_can"}(value, block)).i32;
  }
  int32_t set_analog_output_mode(const int16_t num, const int32_t mode, const bool block) override {
    return record(CallText{"set_analog_output_mode"}(num, mode, block)).i32;
  }
  bool robotmoving() override { return record(CallText{"robotmoving"}()).flag; }
  int32_t modbus_write_multiple_coils(const int32_t slave_num, const std::string& name,
                                      const int32_t len,
                                      const std::vector<int8_t>& byte_list) override {
    return record(CallText{"modbus_write_multiple_coils"}(slave_num, name, len, byte_list)).i32;
  }
  int32_t modbus_write_multiple_regs(const int32_t slave_num, const std::string& name,
                                     const int32_t len,
                                     const std::vector<int16_t>& word_list) override {
    return record(CallText{"modbus_write_multiple_regs"}(slave_num, name, len, word_list)).i32;
  }
  void get_current_project(std::string& _return) override {
    _return = record(CallText{"get_current_project"}()).str;
  }
  void get_files_list(std::map<std::string, int32_t>& _return, const std::string& path) override {
    _return = record(CallText{"get_files_list"}(path)).files;
  }
  void getRobotStatus(RobotStatus& _return) override {
    _return = record(CallText{"getRobotStatus"}()).robot_status;
  }
  void getRobotIOStatus(IOStatus& _return) override {
    _return = record(CallText{"getRobotIOStatus"}()).io_status;
  }
  void get_tcp_pose_coord(std::vector<double>& _return, const std::string& tool,
                          const std::string& wobj) override {
    _return = record(CallText{"get_tcp_pose_coord"}(tool, wobj)).doubles;
  }
  void get_tcp_force_tool(std::vector<double>& _return, const std::string& tool) override {
    _return = record(CallText{"get_tcp_force_tool"}(tool)).doubles;
  }
  int32_t restart(const bool block) override { return record(CallText{"restart"}(block)).i32; }
  int32_t set_servo_config(const int32_t axis_num, const int32_t id, const int32_t value,
                           const int32_t qfmt, const bool block) override {
    return record(CallText{"set_servo_config"}(axis_num, id, value, qfmt, block)).i32;
  }
  int32_t apply_servo_config(const int32_t axis_num, const bool block) override {
    return record(CallText{"apply_servo_config"}(axis_num, block)).i32;
  }
  void get_motor_pole_pair_number(std::vector<int16_t>& _return) override {
    _return = record(CallText{"get_motor_pole_pair_number"}()).shorts;
  }
  void get_motor_stator_slots(std::vector<int16_t>& _return) override {
    _return = record(CallText{"get_motor_stator_slots"}()).shorts;
  }
  void get_axis_ratio(std::vector<int16_t>& _return) override {
    _return = record(CallText{"get_axis_ratio"}()).shorts;
  }
  int32_t collision_detection_reset() override {
    return record(CallText{"collision_detection_reset"}()).i32;
  }
  int32_t set_servo_file_params(const int32_t axis_num, const int32_t id, const std::string& name,
                                const double value, const double qfmt) override {
    return record(CallText{"set_servo_file_params"}(axis_num, id, name, value, qfmt)).i32;
  }

 private:
  Script record(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    return script_;
  }

  mutable std::mutex mutex_;
  Script script_;
  std::vector<std::string> calls_;
};

}  // namespace vb::test
