// OvraRPC::OvraCobot: the program's only road to the robot controller.
//
// One object holds one TCP connection to the controller's RPC service (Thrift binary protocol
// over a buffered socket) and offers a method of the same name for 156 of the service's methods.
// Every failure of the RPC layer ends in an error value, never in an exception: -1 for int, -1.0
// for double, false for bool (true for the eleven bool methods noted below), and for methods that
// deliver their result through an out-parameter the container is left as documented per method.
//
// Calls on one object must not overlap; calls never connect, reconnect or close by themselves.
// The RPC methods are not real-time safe in the strict sense: they allocate, and each blocks until
// the reply arrives (connect time-out 3000 ms, no send or receive time-out), so the 4 ms thread
// that calls them is held as long as the controller takes. They never throw.
#pragma once

#include <thrift/protocol/TProtocol.h>
#include <thrift/transport/TSocket.h>
#include <thrift/transport/TTransport.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "robot_types.h"

class RPCRobotClient;

namespace OvraRPC {

// Trigger options of a motion call, copied field by field into the wire struct Op.
struct OP {
  int8_t time_or_dist_1 = 0;
  int8_t trig_io_1 = 0;
  bool trig_value_1 = false;
  double trig_time_1 = 0.0;
  double trig_dist_1 = 0.0;
  std::string trig_event_1;
  int8_t time_or_dist_2 = 0;
  int8_t trig_io_2 = 0;
  bool trig_value_2 = false;
  double trig_time_2 = 0.0;
  double trig_dist_2 = 0.0;
  std::string trig_event_2;
};

// Copy of the controller's RobotStatus, filled by OvraCobot::getRobotStatus.
struct RobotStatusList {
  std::vector<double> jointExpectPosition;
  std::vector<double> jointExpectVelocity;
  std::vector<double> jointExpectAccelera;
  std::vector<double> jointActualPosition;
  std::vector<double> jointActualVelocity;
  std::vector<double> jointActualAccelera;
  std::vector<double> jointActualCurrent;
  std::vector<double> jointTemperature;
  std::vector<double> driverTemperature;
  std::vector<double> cartExpectPosition;
  std::vector<double> cartExpectVelocity;
  std::vector<double> cartExpectAccelera;
  std::vector<double> cartActualPosition;
  std::vector<double> cartActualVelocity;
  std::vector<double> cartActualAccelera;
  std::vector<bool> slaveReady;
  bool collision = false;
  int8_t collisionAxis = 0;
  bool emcStopSignal = false;
  int8_t robotState = 0;
  int32_t robotError = 0;
};

// Copy of the controller's IOStatus, filled by OvraCobot::getRobotIOStatus.
struct IOStatusList {
  std::vector<double> analogCurrentOutputs;
  std::vector<double> analogVoltageOutputs;
  std::vector<bool> digitalInputs;
  std::vector<bool> digitalOutputs;
  std::vector<bool> toolIOIn;
  std::vector<bool> toolIOOut;
  std::vector<bool> toolButton;
};

// One record of the real-time sender: 44 bytes, sent as they lie in memory (host byte order).
// Their meaning is agreed between the caller and the controller.
struct RealTimeData {
  unsigned char bytes[44];
};
static_assert(sizeof(RealTimeData) == 44, "a real-time record is 44 bytes on the wire");

// The wire struct for a motion call's trigger options.
Op change_param(const OP& op);

// Body of the real-time sender thread; started by OvraCobot::start_realtime_thread.
void* thread_fun(void* arg);

// Text of the most recent failure caught by any client (empty before the first).
std::string last_error();

// The error value of the int methods: also the task id that a non-blocking request (a motion,
// a servo write) returns when it failed, which no controller task carries.
constexpr int kErrorValue = -1;
// The error value of the double methods.
constexpr double kDoubleErrorValue = -1.0;

class OvraCobot {
 public:
  // Default trigger options: trig_io 1 on both triggers, everything else 0, false or empty.
  static OP op_;

  // Builds the connection objects; connects nothing.
  OvraCobot(std::string ip, unsigned port);
  ~OvraCobot();
  OvraCobot(const OvraCobot&) = delete;
  OvraCobot& operator=(const OvraCobot&) = delete;

  // Connects (bounded by the 3000 ms connect time-out); 0 on success, -1 on failure. Also ends
  // the loop of a running real-time sender.
  int open();
  // Flushes and disconnects; 0 on success, -1 on failure.
  int close();
  // "2.9.0"; no RPC.
  std::string get_version();

  // Starts the UDP real-time sender (datagrams to port 2011 of the address of the most recently
  // built client), which calls callback for every record, unless one runs: 0 when it started or
  // one already runs, -1 when callback is null or no thread could be made.
  int start_realtime_thread(RealTimeData (*callback)());
  // Stops the sender, waits for its thread and closes its socket: the result of closing the
  // socket, or -1 when there was none.
  int end_realtime_thread();

  // Forwarding methods, in the service's order. Out-parameter methods replace the container's
  // content with the reply's; on failure the "emptied" ones leave it empty, the others leave the
  // caller's content. Bool methods whose error value is true are marked "(error: true)".
  // Motion methods take their trigger options as an OP (usually op_), sent through change_param.
  int power_on(bool block);
  int power_off(bool block);
  int enable(bool block);
  int disable(bool block);
  int shutdown(bool block);
  int stop(bool block);
  int pause(bool block);
  int resume(bool block);
  int run_program(const std::string& name, bool block);
  int set_tool_data(const std::string& name, const std::vector<double>& tool_offset,
                    const std::vector<double>& payload, const std::vector<double>& inertia_tensor);
  void get_tool_load(std::vector<double>& result);   // emptied
  void get_tcp_offset(std::vector<double>& result);  // emptied
  int set_wobj(const std::string& name, const std::vector<double>& wobj);
  int set_wobj_offset(const std::vector<double>& wobj);
  void get_wobj(std::vector<double>& result);  // emptied
  void cal_fkine(std::vector<double>& result, const std::vector<double>& joints_position,
                 const std::vector<double>& tool, const std::vector<double>& wobj);  // kept
  void cal_ikine(std::vector<double>& result, const std::vector<double>& p,
                 const std::vector<double>& q_near, const std::vector<double>& tool,
                 const std::vector<double>& wobj);  // kept
  int set_standard_digital_out(short num, bool value, bool block);
  int set_tool_digital_out(short num, bool value, bool block);
  bool get_standard_digital_in(short num);
  bool get_standard_digital_out(short num);
  bool get_tool_digital_in(short num);
  bool get_tool_digital_out(short num);
  bool get_config_digital_in(short num);
  double get_standard_analog_voltage_in(short num);
  double get_tool_analog_voltage_in(short num);
  double get_standard_analog_current_in(short num);
  int set_standard_analog_voltage_out(short num, double value, bool block);
  int set_standard_analog_current_out(short num, double value, bool block);
  void read_raw_data_485(std::vector<signed char>& result, int len);  // emptied
  void read_raw_data_485_ht(std::vector<signed char>& result, const std::vector<signed char>& head,
                            const std::vector<signed char>& tail);  // kept
  void read_raw_data_485_h(std::vector<signed char>& result, const std::vector<signed char>& head,
                           int len);  // kept
  bool write_raw_data_485(const std::vector<signed char>& data);
  bool write_raw_data_485_h(const std::vector<signed char>& data,
                            const std::vector<signed char>& head);  // (error: true)
  bool write_raw_data_485_ht(const std::vector<signed char>& data,
                             const std::vector<signed char>& head,
                             const std::vector<signed char>& tail);        // (error: true)
  void tool_read_raw_data_485(std::vector<signed char>& result, int len);  // kept
  void tool_read_raw_data_485_h(std::vector<signed char>& result,
                                const std::vector<signed char>& head, int len);  // kept
  void tool_read_raw_data_485_ht(std::vector<signed char>& result,
                                 const std::vector<signed char>& head,
                                 const std::vector<signed char>& tail);  // kept
  bool tool_write_raw_data_485(const std::vector<signed char>& data);
  bool tool_write_raw_data_485_h(const std::vector<signed char>& data,
                                 const std::vector<signed char>& head);  // (error: true)
  bool tool_write_raw_data_485_ht(const std::vector<signed char>& data,
                                  const std::vector<signed char>& head,
                                  const std::vector<signed char>& tail);  // (error: true)
  void read_raw_data_can(std::vector<signed char>& result);               // kept
  bool write_raw_data_can(int id, const std::vector<signed char>& data);
  bool get_function_digital_in(short num);   // (error: true)
  bool get_function_digital_out(short num);  // (error: true)
  bool read_bool_reg(short num);
  int read_word_reg(short num);
  double read_float_reg(short num);
  int write_bool_reg(short num, bool value);
  int write_word_reg(short num, int value);
  int write_float_reg(short num, double value);
  bool get_function_reg_in(short num);   // (error: true)
  bool get_function_reg_out(short num);  // (error: true)
  int movej(const std::vector<double>& joints_list, double v, double a, double r, bool block,
            const OP& op);
  int movej_pose(const std::vector<double>& p, double v, double a, double r,
                 const std::vector<double>& q_near, const std::string& tool,
                 const std::string& wobj, bool block, const OP& op);
  int movej2(const std::vector<double>& joints_list, double v, double a, double r, bool block,
             const OP& op);
  int movej_pose2(const std::vector<double>& p, double v, double a, double r,
                  const std::vector<double>& q_near, const std::string& tool,
                  const std::string& wobj, bool block, const OP& op);
  int movel(const std::vector<double>& p, double v, double a, double r,
            const std::vector<double>& q_near, const std::string& tool, const std::string& wobj,
            bool block, const OP& op);
  int movec(const std::vector<double>& p1, const std::vector<double>& p2, double v, double a,
            double r, int mode, const std::vector<double>& q_near, const std::string& tool,
            const std::string& wobj, bool block, const OP& op);
  int move_circle(const std::vector<double>& p1, const std::vector<double>& p2, double v, double a,
                  double r, bool mode, const std::vector<double>& q_near, const std::string& tool,
                  const std::string& wobj, bool block, const OP& op);  // sends mode as 1 or 0
  int tcp_move(const std::vector<double>& pose_offset, double v, double a, double r,
               const std::string& tool, bool block, const OP& op);
  int tcp_move_2p(const std::vector<double>& p1, const std::vector<double>& p2, double v, double a,
                  double r, const std::string& tool, const std::string& wobj, bool block,
                  const OP& op);
  int spline(const std::vector<std::vector<double>>& pose_list, double v, double a,
             const std::string& tool, const std::string& wobj, bool block, const OP& op);
  int speedj(const std::vector<double>& joints_list, double a, int time, bool block);
  int speedl(const std::vector<double>& pose_list, double a, int time, bool block);
  int speed_stop(bool block);
  int servoj(const std::vector<double>& joints_list, double v, double a, bool block, double kp,
             double kd);
  int servoj_pose(const std::vector<double>& pose_list, double v, double a,
                  const std::vector<double>& q_near, const std::string& tool,
                  const std::string& wobj, bool block, double kp, double kd);
  int servo_tcp(const std::vector<double>& pose_offset, double v, double a, const std::string& tool,
                bool block, double kp, double kd);
  int teach_mode(bool block);
  int end_teach_mode(bool block);
  int modbus_add_signal(const std::string& ip, int slave_number, int signal_address,
                        int signal_type, const std::string& signal_name);
  int modbus_delete_signal(const std::string& signal_name);
  int modbus_read(const std::string& signal_name);
  int modbus_write(const std::string& signal_name, int value);
  void modbus_set_frequency(const std::string& signal_name, int frequence);
  void get_last_error(std::vector<std::string>& result);  // kept
  int get_noneblock_taskstate(int id);
  void log_info(const std::string& message);
  void log_error(const std::string& message);
  int simulation(bool sim, bool block);
  int speed(double val);
  void get_robot_state(std::vector<signed char>& result);            // emptied
  void get_flange_pose(std::vector<double>& result);                 // emptied
  void get_flange_speed(std::vector<double>& result);                // emptied
  void get_flange_acceleration(std::vector<double>& result);         // emptied
  void get_tcp_pose(std::vector<double>& result);                    // emptied
  void get_tcp_speed(std::vector<double>& result);                   // emptied
  void get_tcp_acceleration(std::vector<double>& result);            // emptied
  void get_tcp_force(std::vector<double>& result);                   // emptied
  void get_actual_joints_position(std::vector<double>& result);      // emptied
  void get_target_joints_position(std::vector<double>& result);      // emptied
  void get_actual_joints_speed(std::vector<double>& result);         // emptied
  void get_target_joints_speed(std::vector<double>& result);         // emptied
  void get_actual_joints_acceleration(std::vector<double>& result);  // emptied
  void get_target_joints_acceleration(std::vector<double>& result);  // emptied
  void get_actual_joints_torque(std::vector<double>& result);        // emptied
  void get_target_joints_torque(std::vector<double>& result);        // kept
  int stop_record_track();
  int start_record_track(const std::string& name, int mode, const std::string& tool,
                         const std::string& wobj);  // sends interval 0.5 for mode 1, else 5.0
  int collision_detect(int value);
  int replay(const std::string& name, int value, int mode);
  int set_load_data(const std::vector<double>& value);
  int fc_start();
  int fc_stop();
  int fc_config(const std::vector<bool>& direction, const std::vector<double>& ref_ft,
                const std::vector<double>& damp, const std::vector<double>& max_vel,
                const std::vector<double>& number_list, const std::string& tool,
                const std::string& wobj, int value);
  int fc_move();
  int fc_guard_act(const std::vector<bool>& direction, const std::vector<double>& ref_ft,
                   const std::string& tool, const std::string& wobj, int type);
  int fc_guard_deact();
  int fc_force_set_value(const std::vector<bool>& direction, const std::vector<double>& ref_ft);
  int fc_wait_pos(const std::vector<double>& middle, const std::vector<double>& range,
                  bool absolute, int duration, int timeout);
  int fc_wait_vel(const std::vector<double>& middle, const std::vector<double>& range,
                  bool absolute, int duration, int timeout);
  int fc_wait_ft(const std::vector<double>& middle, const std::vector<double>& range, bool absolute,
                 int duration, int timeout);
  int fc_wait_logic(const std::vector<int>& value);
  void fc_get_ft(std::vector<double>& result);  // kept
  bool fc_mode_is_active();                     // (error: true)
  int start_realtime_mode(int mode);
  int end_realtime_mode();  // ends the sender's loop first
  int enable_speed_optimization();
  int disable_speed_optimization();
  int set_system_value_bool(const std::string& name, bool value);
  int set_system_value_double(const std::string& name, double value);
  int set_system_value_str(const std::string& name, const std::string& value);
  int set_system_value_list(const std::string& name, const std::vector<double>& value);
  bool get_system_value_bool(const std::string& name);  // (error: true)
  double get_system_value_double(const std::string& name);
  void get_system_value_str(std::string& result, const std::string& name);           // kept
  void get_system_value_list(std::vector<double>& result, const std::string& name);  // kept
  int trackEnqueue(const std::vector<std::vector<double>>& track, bool block);
  int trackClearQueue();
  int getQueueSize();
  int trackJointMotion(double speed, double acc, bool block);
  int trackCartMotion(double speed, double acc, bool block, const std::string& tool,
                      const std::string& wobj);  // sends radius 0.005
  void rpc_heartbeat(int time);
  int move_spiral(const std::vector<double>& p1, const std::vector<double>& p2, double rev,
                  double len, double r, int mode, double v, double a,
                  const std::vector<double>& q_near, const std::string& tool,
                  const std::string& wobj, bool block, const OP& op);
  int enable_acc_optimization();
  int disable_acc_optimization();
  int set_baudrate_485(int value, bool block);
  int set_baudrate_can(int value, bool block);
  int set_analog_output_mode(short num, int mode, bool block);
  bool robotmoving();  // (error: true)
  int modbus_write_multiple_coils(int slave_num, const std::string& name, int len,
                                  const std::vector<signed char>& byte_list);
  int modbus_write_multiple_regs(int slave_num, const std::string& name, int len,
                                 const std::vector<short>& word_list);
  void get_current_project(std::string& result);                                     // kept
  void get_files_list(std::map<std::string, int>& result, const std::string& path);  // kept
  void getRobotStatus(RobotStatusList& status);  // lists replaced; single values kept on failure
  void getRobotIOStatus(IOStatusList& status);   // lists replaced; single values kept on failure
  void get_tcp_pose_coord(std::vector<double>& result, const std::string& tool,
                          const std::string& wobj);                               // kept
  void get_tcp_force_tool(std::vector<double>& result, const std::string& tool);  // kept
  int set_servo_config(int axis_num, int id, int value, int qfmt, bool block);
  int apply_servo_config(int axis_num, bool block);
  void get_motor_pole_pair_number(std::vector<short>& result);  // kept
  void get_motor_stator_slots(std::vector<short>& result);      // kept
  void get_axis_ratio(std::vector<short>& result);              // kept
  int collision_detection_reset();
  int set_servo_file_params(int axis_num, int id, const std::string& name, double value,
                            double qfmt);

 private:
  std::shared_ptr<apache::thrift::transport::TSocket> socket_;
  std::shared_ptr<apache::thrift::transport::TTransport> transport_;
  std::shared_ptr<apache::thrift::protocol::TProtocol> protocol_;
  RPCRobotClient* client_ = nullptr;
};

}  // namespace OvraRPC
