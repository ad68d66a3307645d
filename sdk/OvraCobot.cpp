#include "OvraCobot.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "RPCRobot.h"

namespace OvraRPC {

using apache::thrift::protocol::TBinaryProtocolT;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransport;

OP OvraCobot::op_ = {0, 1, false, 0.0, 0.0, "", 0, 1, false, 0.0, 0.0, ""};

namespace {

// Far above anything the controller sends, so that a corrupt length field is an ordinary failure
// and not a request for gigabytes.
constexpr int32_t kMaxStringBytes = 16 * 1024 * 1024;
constexpr int32_t kMaxContainerElements = 1000000;

constexpr int kConnectTimeoutMs = 3000;
constexpr uint16_t kRealTimePort = 2011;
constexpr size_t kSenderStackBytes = 20480;
constexpr int kSenderPriority = 80;

// Shared by every client of the process. server_IP and s_err_msg are guarded by state_mutex.
std::mutex state_mutex;
std::string server_IP;
std::string s_err_msg;

// The real-time sender. stop_send is true while no sender may run; the sender reads it on every
// pass. thread_ and thread_created are guarded by sender_mutex; sock_fd is -1 while no socket is
// open.
std::atomic<bool> stop_send{false};
std::atomic<RealTimeData (*)()> s_callback{nullptr};
std::atomic<int> sock_fd{-1};
std::mutex sender_mutex;
pthread_t thread_{};
bool thread_created = false;

// The buffered transport of the connection. A request that failed while it was being written can
// leave its first bytes in the write buffer, and a reply that failed while it was being read can
// leave the rest of its bytes in the read buffer; a new connection must not inherit either, or the
// controller would wait forever for the rest of a request it never gets. And a close whose flush
// fails still closes the socket, so that open can connect again.
class ConnectionTransport : public TBufferedTransport {
 public:
  using TBufferedTransport::TBufferedTransport;

  void open() override {
    initPointers();
    TBufferedTransport::open();
  }

  void close() override {
    try {
      TBufferedTransport::close();
    } catch (...) {
      getUnderlyingTransport()->close();
      initPointers();
      throw;
    }
  }
};

void keep_error(const std::exception& e) noexcept {
  try {
    std::lock_guard<std::mutex> lock(state_mutex);
    s_err_msg = e.what();
  } catch (...) {
    // Keeping the text is a courtesy; the error value is what the caller relies on.
  }
}

template <typename R, typename Call>
R guarded(R error_value, Call&& call) {
  try {
    return call();
  } catch (const std::exception& e) {
    keep_error(e);
    return error_value;
  }
}

template <typename Call>
void guarded(Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    keep_error(e);
  }
}

}  // namespace

std::string last_error() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return s_err_msg;
}

Op change_param(const OP& op) {
  Op result;
  result.time_or_dist_1 = op.time_or_dist_1;
  result.trig_io_1 = op.trig_io_1;
  result.trig_value_1 = op.trig_value_1;
  result.trig_time_1 = op.trig_time_1;
  result.trig_dist_1 = op.trig_dist_1;
  result.trig_event_1 = op.trig_event_1;
  result.time_or_dist_2 = op.time_or_dist_2;
  result.trig_io_2 = op.trig_io_2;
  result.trig_value_2 = op.trig_value_2;
  result.trig_time_2 = op.trig_time_2;
  result.trig_dist_2 = op.trig_dist_2;
  result.trig_event_2 = op.trig_event_2;
  return result;
}

OvraCobot::OvraCobot(std::string ip, unsigned port) {
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    server_IP = ip;
  }
  stop_send.store(true);
  socket_ = std::make_shared<TSocket>(ip, static_cast<int>(port));
  socket_->setConnTimeout(kConnectTimeoutMs);
  socket_->setKeepAlive(true);
  transport_ = std::make_shared<ConnectionTransport>(socket_);
  auto protocol = std::make_shared<TBinaryProtocolT<TTransport>>(transport_);
  protocol->setStringSizeLimit(kMaxStringBytes);
  protocol->setContainerSizeLimit(kMaxContainerElements);
  protocol_ = protocol;
  client_ = new RPCRobotClient(protocol_);
}

OvraCobot::~OvraCobot() { delete client_; }

int OvraCobot::open() {
  stop_send.store(true);
  return guarded(kErrorValue, [&] {
    // Bytes the old connection left unread (after a reply that failed half-way) would be taken
    // as the start of the new connection's first reply. borrow() never reads the socket.
    uint32_t buffered = 1;
    if (transport_->borrow(nullptr, &buffered) != nullptr) transport_->consume(buffered);
    transport_->open();
    return 0;
  });
}

int OvraCobot::close() {
  return guarded(kErrorValue, [&] {
    transport_->close();
    return 0;
  });
}

std::string OvraCobot::get_version() { return "2.9.0"; }

void OvraCobot::getRobotStatus(RobotStatusList& status) {
  RobotStatus reply;
  for (auto* list :
       {&status.jointExpectPosition, &status.jointExpectVelocity, &status.jointExpectAccelera,
        &status.jointActualPosition, &status.jointActualVelocity, &status.jointActualAccelera,
        &status.jointActualCurrent, &status.jointTemperature, &status.driverTemperature,
        &status.cartExpectPosition, &status.cartExpectVelocity, &status.cartExpectAccelera,
        &status.cartActualPosition, &status.cartActualVelocity, &status.cartActualAccelera}) {
    list->clear();
  }
  status.slaveReady.clear();
  guarded([&] {
    client_->getRobotStatus(reply);
    status.collision = reply.collision;
    status.collisionAxis = reply.collisionAxis;
    status.emcStopSignal = reply.emcStopSignal;
    status.robotState = reply.robotState;
    status.robotError = reply.robotError;
    status.jointExpectPosition = reply.jointExpectPosition;
    status.jointExpectVelocity = reply.jointExpectVelocity;
    status.jointExpectAccelera = reply.jointExpectAccelera;
    status.jointActualPosition = reply.jointActualPosition;
    status.jointActualVelocity = reply.jointActualVelocity;
    status.jointActualAccelera = reply.jointActualAccelera;
    status.jointActualCurrent = reply.jointActualCurrent;
    status.jointTemperature = reply.jointTemperature;
    status.driverTemperature = reply.driverTemperature;
    status.cartExpectPosition = reply.cartExpectPosition;
    status.cartExpectVelocity = reply.cartExpectVelocity;
    status.cartExpectAccelera = reply.cartExpectAccelera;
    status.cartActualPosition = reply.cartActualPosition;
    status.cartActualVelocity = reply.cartActualVelocity;
    status.cartActualAccelera = reply.cartActualAccelera;
    status.slaveReady = reply.slaveReady;
  });
}

void OvraCobot::getRobotIOStatus(IOStatusList& status) {
  IOStatus reply;
  status.analogCurrentOutputs.clear();
  status.analogVoltageOutputs.clear();
  for (auto* list : {&status.digitalInputs, &status.digitalOutputs, &status.toolIOIn,
                     &status.toolIOOut, &status.toolButton}) {
    list->clear();
  }
  guarded([&] {
    client_->getRobotIOStatus(reply);
    status.analogCurrentOutputs = reply.analogCurrentOutputs;
    status.analogVoltageOutputs = reply.analogVoltageOutputs;
    status.digitalInputs = reply.digitalInputs;
    status.digitalOutputs = reply.digitalOutputs;
    status.toolIOIn = reply.toolIOIn;
    status.toolIOOut = reply.toolIOOut;
    status.toolButton = reply.toolButton;
  });
}

// Forwarding methods, in the service's order.

int OvraCobot::power_on(bool block) {
  return guarded(kErrorValue, [&] { return client_->power_on(block); });
}

int OvraCobot::power_off(bool block) {
  return guarded(kErrorValue, [&] { return client_->power_off(block); });
}

int OvraCobot::enable(bool block) {
  return guarded(kErrorValue, [&] { return client_->enable(block); });
}

int OvraCobot::disable(bool block) {
  return guarded(kErrorValue, [&] { return client_->disable(block); });
}

int OvraCobot::shutdown(bool block) {
  return guarded(kErrorValue, [&] { return client_->shutdown(block); });
}

int OvraCobot::stop(bool block) {
  return guarded(kErrorValue, [&] { return client_->stop(block); });
}

int OvraCobot::pause(bool block) {
  return guarded(kErrorValue, [&] { return client_->pause(block); });
}

int OvraCobot::resume(bool block) {
  return guarded(kErrorValue, [&] { return client_->resume(block); });
}

int OvraCobot::run_program(const std::string& name, bool block) {
  return guarded(kErrorValue, [&] { return client_->run_program(name, block); });
}

int OvraCobot::set_tool_data(const std::string& name, const std::vector<double>& tool_offset,
                             const std::vector<double>& payload,
                             const std::vector<double>& inertia_tensor) {
  return guarded(kErrorValue, [&] {
    return client_->set_tool_data(name, tool_offset, payload, inertia_tensor);
  });
}

void OvraCobot::get_tool_load(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_tool_load(result);
  });
}

void OvraCobot::get_tcp_offset(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_tcp_offset(result);
  });
}

int OvraCobot::set_wobj(const std::string& name, const std::vector<double>& wobj) {
  return guarded(kErrorValue, [&] { return client_->set_wobj(name, wobj); });
}

int OvraCobot::set_wobj_offset(const std::vector<double>& wobj) {
  return guarded(kErrorValue, [&] { return client_->set_wobj_offset(wobj); });
}

void OvraCobot::get_wobj(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_wobj(result);
  });
}

void OvraCobot::cal_fkine(std::vector<double>& result, const std::vector<double>& joints_position,
                          const std::vector<double>& tool, const std::vector<double>& wobj) {
  guarded([&] { client_->cal_fkine(result, joints_position, tool, wobj); });
}

void OvraCobot::cal_ikine(std::vector<double>& result, const std::vector<double>& p,
                          const std::vector<double>& q_near, const std::vector<double>& tool,
                          const std::vector<double>& wobj) {
  guarded([&] { client_->cal_ikine(result, p, q_near, tool, wobj); });
}

int OvraCobot::set_standard_digital_out(short num, bool value, bool block) {
  return guarded(kErrorValue, [&] { return client_->set_standard_digital_out(num, value, block); });
}

int OvraCobot::set_tool_digital_out(short num, bool value, bool block) {
  return guarded(kErrorValue, [&] { return client_->set_tool_digital_out(num, value, block); });
}

bool OvraCobot::get_standard_digital_in(short num) {
  return guarded(false, [&] { return client_->get_standard_digital_in(num); });
}

bool OvraCobot::get_standard_digital_out(short num) {
  return guarded(false, [&] { return client_->get_standard_digital_out(num); });
}

bool OvraCobot::get_tool_digital_in(short num) {
  return guarded(false, [&] { return client_->get_tool_digital_in(num); });
}

bool OvraCobot::get_tool_digital_out(short num) {
  return guarded(false, [&] { return client_->get_tool_digital_out(num); });
}

bool OvraCobot::get_config_digital_in(short num) {
  return guarded(false, [&] { return client_->get_config_digital_in(num); });
}

double OvraCobot::get_standard_analog_voltage_in(short num) {
  return guarded(kDoubleErrorValue, [&] { return client_->get_standard_analog_voltage_in(num); });
}

double OvraCobot::get_tool_analog_voltage_in(short num) {
  return guarded(kDoubleErrorValue, [&] { return client_->get_tool_analog_voltage_in(num); });
}

double OvraCobot::get_standard_analog_current_in(short num) {
  return guarded(kDoubleErrorValue, [&] { return client_->get_standard_analog_current_in(num); });
}

int OvraCobot::set_standard_analog_voltage_out(short num, double value, bool block) {
  return guarded(kErrorValue,
                 [&] { return client_->set_standard_analog_voltage_out(num, value, block); });
}

int OvraCobot::set_standard_analog_current_out(short num, double value, bool block) {
  return guarded(kErrorValue,
                 [&] { return client_->set_standard_analog_current_out(num, value, block); });
}

void OvraCobot::read_raw_data_485(std::vector<signed char>& result, int len) {
  guarded([&] {
    result.clear();
    client_->read_raw_data_485(result, len);
  });
}

void OvraCobot::read_raw_data_485_ht(std::vector<signed char>& result,
                                     const std::vector<signed char>& head,
                                     const std::vector<signed char>& tail) {
  guarded([&] { client_->read_raw_data_485_ht(result, head, tail); });
}

void OvraCobot::read_raw_data_485_h(std::vector<signed char>& result,
                                    const std::vector<signed char>& head, int len) {
  guarded([&] { client_->read_raw_data_485_h(result, head, len); });
}

bool OvraCobot::write_raw_data_485(const std::vector<signed char>& data) {
  return guarded(false, [&] { return client_->write_raw_data_485(data); });
}

bool OvraCobot::write_raw_data_485_h(const std::vector<signed char>& data,
                                     const std::vector<signed char>& head) {
  return guarded(true, [&] { return client_->write_raw_data_485_h(data, head); });
}

bool OvraCobot::write_raw_data_485_ht(const std::vector<signed char>& data,
                                      const std::vector<signed char>& head,
                                      const std::vector<signed char>& tail) {
  return guarded(true, [&] { return client_->write_raw_data_485_ht(data, head, tail); });
}

void OvraCobot::tool_read_raw_data_485(std::vector<signed char>& result, int len) {
  guarded([&] { client_->tool_read_raw_data_485(result, len); });
}

void OvraCobot::tool_read_raw_data_485_h(std::vector<signed char>& result,
                                         const std::vector<signed char>& head, int len) {
  guarded([&] { client_->tool_read_raw_data_485_h(result, head, len); });
}

void OvraCobot::tool_read_raw_data_485_ht(std::vector<signed char>& result,
                                          const std::vector<signed char>& head,
                                          const std::vector<signed char>& tail) {
  guarded([&] { client_->tool_read_raw_data_485_ht(result, head, tail); });
}

bool OvraCobot::tool_write_raw_data_485(const std::vector<signed char>& data) {
  return guarded(false, [&] { return client_->tool_write_raw_data_485(data); });
}

bool OvraCobot::tool_write_raw_data_485_h(const std::vector<signed char>& data,
                                          const std::vector<signed char>& head) {
  return guarded(true, [&] { return client_->tool_write_raw_data_485_h(data, head); });
}

bool OvraCobot::tool_write_raw_data_485_ht(const std::vector<signed char>& data,
                                           const std::vector<signed char>& head,
                                           const std::vector<signed char>& tail) {
  return guarded(true, [&] { return client_->tool_write_raw_data_485_ht(data, head, tail); });
}

void OvraCobot::read_raw_data_can(std::vector<signed char>& result) {
  guarded([&] { client_->read_raw_data_can(result); });
}

bool OvraCobot::write_raw_data_can(int id, const std::vector<signed char>& data) {
  return guarded(false, [&] { return client_->write_raw_data_can(id, data); });
}

bool OvraCobot::get_function_digital_in(short num) {
  return guarded(true, [&] { return client_->get_function_digital_in(num); });
}

bool OvraCobot::get_function_digital_out(short num) {
  return guarded(true, [&] { return client_->get_function_digital_out(num); });
}

bool OvraCobot::read_bool_reg(short num) {
  return guarded(false, [&] { return client_->read_bool_reg(num); });
}

int OvraCobot::read_word_reg(short num) {
  return guarded(kErrorValue, [&] { return client_->read_word_reg(num); });
}

double OvraCobot::read_float_reg(short num) {
  return guarded(kDoubleErrorValue, [&] { return client_->read_float_reg(num); });
}

int OvraCobot::write_bool_reg(short num, bool value) {
  return guarded(kErrorValue, [&] { return client_->write_bool_reg(num, value); });
}

int OvraCobot::write_word_reg(short num, int value) {
  return guarded(kErrorValue, [&] { return client_->write_word_reg(num, value); });
}

int OvraCobot::write_float_reg(short num, double value) {
  return guarded(kErrorValue, [&] { return client_->write_float_reg(num, value); });
}

bool OvraCobot::get_function_reg_in(short num) {
  return guarded(true, [&] { return client_->get_function_reg_in(num); });
}

bool OvraCobot::get_function_reg_out(short num) {
  return guarded(true, [&] { return client_->get_function_reg_out(num); });
}

int OvraCobot::movej(const std::vector<double>& joints_list, double v, double a, double r,
                     bool block, const OP& op) {
  return guarded(kErrorValue,
                 [&] { return client_->movej(joints_list, v, a, r, block, change_param(op)); });
}

int OvraCobot::movej_pose(const std::vector<double>& p, double v, double a, double r,
                          const std::vector<double>& q_near, const std::string& tool,
                          const std::string& wobj, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->movej_pose(p, v, a, r, q_near, tool, wobj, block, change_param(op));
  });
}

int OvraCobot::movej2(const std::vector<double>& joints_list, double v, double a, double r,
                      bool block, const OP& op) {
  return guarded(kErrorValue,
                 [&] { return client_->movej2(joints_list, v, a, r, block, change_param(op)); });
}

int OvraCobot::movej_pose2(const std::vector<double>& p, double v, double a, double r,
                           const std::vector<double>& q_near, const std::string& tool,
                           const std::string& wobj, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->movej_pose2(p, v, a, r, q_near, tool, wobj, block, change_param(op));
  });
}

int OvraCobot::movel(const std::vector<double>& p, double v, double a, double r,
                     const std::vector<double>& q_near, const std::string& tool,
                     const std::string& wobj, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->movel(p, v, a, r, q_near, tool, wobj, block, change_param(op));
  });
}

int OvraCobot::movec(const std::vector<double>& p1, const std::vector<double>& p2, double v,
                     double a, double r, int mode, const std::vector<double>& q_near,
                     const std::string& tool, const std::string& wobj, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->movec(p1, p2, v, a, r, mode, q_near, tool, wobj, block, change_param(op));
  });
}

int OvraCobot::move_circle(const std::vector<double>& p1, const std::vector<double>& p2, double v,
                           double a, double r, bool mode, const std::vector<double>& q_near,
                           const std::string& tool, const std::string& wobj, bool block,
                           const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->move_circle(p1, p2, v, a, r, mode ? 1 : 0, q_near, tool, wobj, block,
                                change_param(op));
  });
}

int OvraCobot::tcp_move(const std::vector<double>& pose_offset, double v, double a, double r,
                        const std::string& tool, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->tcp_move(pose_offset, v, a, r, tool, block, change_param(op));
  });
}

int OvraCobot::tcp_move_2p(const std::vector<double>& p1, const std::vector<double>& p2, double v,
                           double a, double r, const std::string& tool, const std::string& wobj,
                           bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->tcp_move_2p(p1, p2, v, a, r, tool, wobj, block, change_param(op));
  });
}

int OvraCobot::spline(const std::vector<std::vector<double>>& pose_list, double v, double a,
                      const std::string& tool, const std::string& wobj, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->spline(pose_list, v, a, tool, wobj, block, change_param(op));
  });
}

int OvraCobot::speedj(const std::vector<double>& joints_list, double a, int time, bool block) {
  return guarded(kErrorValue, [&] { return client_->speedj(joints_list, a, time, block); });
}

int OvraCobot::speedl(const std::vector<double>& pose_list, double a, int time, bool block) {
  return guarded(kErrorValue, [&] { return client_->speedl(pose_list, a, time, block); });
}

int OvraCobot::speed_stop(bool block) {
  return guarded(kErrorValue, [&] { return client_->speed_stop(block); });
}

int OvraCobot::servoj(const std::vector<double>& joints_list, double v, double a, bool block,
                      double kp, double kd) {
  return guarded(kErrorValue, [&] { return client_->servoj(joints_list, v, a, block, kp, kd); });
}

int OvraCobot::servoj_pose(const std::vector<double>& pose_list, double v, double a,
                           const std::vector<double>& q_near, const std::string& tool,
                           const std::string& wobj, bool block, double kp, double kd) {
  return guarded(kErrorValue, [&] {
    return client_->servoj_pose(pose_list, v, a, q_near, tool, wobj, block, kp, kd);
  });
}

int OvraCobot::servo_tcp(const std::vector<double>& pose_offset, double v, double a,
                         const std::string& tool, bool block, double kp, double kd) {
  return guarded(kErrorValue,
                 [&] { return client_->servo_tcp(pose_offset, v, a, tool, block, kp, kd); });
}

int OvraCobot::teach_mode(bool block) {
  return guarded(kErrorValue, [&] { return client_->teach_mode(block); });
}

int OvraCobot::end_teach_mode(bool block) {
  return guarded(kErrorValue, [&] { return client_->end_teach_mode(block); });
}

int OvraCobot::modbus_add_signal(const std::string& ip, int slave_number, int signal_address,
                                 int signal_type, const std::string& signal_name) {
  return guarded(kErrorValue, [&] {
    return client_->modbus_add_signal(ip, slave_number, signal_address, signal_type, signal_name);
  });
}

int OvraCobot::modbus_delete_signal(const std::string& signal_name) {
  return guarded(kErrorValue, [&] { return client_->modbus_delete_signal(signal_name); });
}

int OvraCobot::modbus_read(const std::string& signal_name) {
  return guarded(kErrorValue, [&] { return client_->modbus_read(signal_name); });
}

int OvraCobot::modbus_write(const std::string& signal_name, int value) {
  return guarded(kErrorValue, [&] { return client_->modbus_write(signal_name, value); });
}

void OvraCobot::modbus_set_frequency(const std::string& signal_name, int frequence) {
  guarded([&] { client_->modbus_set_frequency(signal_name, frequence); });
}

void OvraCobot::get_last_error(std::vector<std::string>& result) {
  guarded([&] { client_->get_last_error(result); });
}

int OvraCobot::get_noneblock_taskstate(int id) {
  return guarded(kErrorValue, [&] { return client_->get_noneblock_taskstate(id); });
}

void OvraCobot::log_info(const std::string& message) {
  guarded([&] { client_->log_info(message); });
}

void OvraCobot::log_error(const std::string& message) {
  guarded([&] { client_->log_error(message); });
}

int OvraCobot::simulation(bool sim, bool block) {
  return guarded(kErrorValue, [&] { return client_->simulation(sim, block); });
}

int OvraCobot::speed(double val) {
  return guarded(kErrorValue, [&] { return client_->speed(val); });
}

void OvraCobot::get_robot_state(std::vector<signed char>& result) {
  guarded([&] {
    result.clear();
    client_->get_robot_state(result);
  });
}

void OvraCobot::get_flange_pose(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_flange_pose(result);
  });
}

void OvraCobot::get_flange_speed(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_flange_speed(result);
  });
}

void OvraCobot::get_flange_acceleration(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_flange_acceleration(result);
  });
}

void OvraCobot::get_tcp_pose(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_tcp_pose(result);
  });
}

void OvraCobot::get_tcp_speed(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_tcp_speed(result);
  });
}

void OvraCobot::get_tcp_acceleration(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_tcp_acceleration(result);
  });
}

void OvraCobot::get_tcp_force(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_tcp_force(result);
  });
}

void OvraCobot::get_actual_joints_position(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_actual_joints_position(result);
  });
}

void OvraCobot::get_target_joints_position(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_target_joints_position(result);
  });
}

void OvraCobot::get_actual_joints_speed(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_actual_joints_speed(result);
  });
}

void OvraCobot::get_target_joints_speed(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_target_joints_speed(result);
  });
}

void OvraCobot::get_actual_joints_acceleration(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_actual_joints_acceleration(result);
  });
}

void OvraCobot::get_target_joints_acceleration(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_target_joints_acceleration(result);
  });
}

void OvraCobot::get_actual_joints_torque(std::vector<double>& result) {
  guarded([&] {
    result.clear();
    client_->get_actual_joints_torque(result);
  });
}

void OvraCobot::get_target_joints_torque(std::vector<double>& result) {
  guarded([&] { client_->get_target_joints_torque(result); });
}

int OvraCobot::stop_record_track() {
  return guarded(kErrorValue, [&] { return client_->stop_record_track(); });
}

int OvraCobot::start_record_track(const std::string& name, int mode, const std::string& tool,
                                  const std::string& wobj) {
  return guarded(kErrorValue, [&] {
    const double interval = mode == 1 ? 0.5 : 5.0;
    return client_->start_record_track(name, mode, tool, wobj, interval);
  });
}

int OvraCobot::collision_detect(int value) {
  return guarded(kErrorValue, [&] { return client_->collision_detect(value); });
}

int OvraCobot::replay(const std::string& name, int value, int mode) {
  return guarded(kErrorValue, [&] { return client_->replay(name, value, mode); });
}

int OvraCobot::set_load_data(const std::vector<double>& value) {
  return guarded(kErrorValue, [&] { return client_->set_load_data(value); });
}

int OvraCobot::fc_start() {
  return guarded(kErrorValue, [&] { return client_->fc_start(); });
}

int OvraCobot::fc_stop() {
  return guarded(kErrorValue, [&] { return client_->fc_stop(); });
}

int OvraCobot::fc_config(const std::vector<bool>& direction, const std::vector<double>& ref_ft,
                         const std::vector<double>& damp, const std::vector<double>& max_vel,
                         const std::vector<double>& number_list, const std::string& tool,
                         const std::string& wobj, int value) {
  return guarded(kErrorValue, [&] {
    return client_->fc_config(direction, ref_ft, damp, max_vel, number_list, tool, wobj, value);
  });
}

int OvraCobot::fc_move() {
  return guarded(kErrorValue, [&] { return client_->fc_move(); });
}

int OvraCobot::fc_guard_act(const std::vector<bool>& direction, const std::vector<double>& ref_ft,
                            const std::string& tool, const std::string& wobj, int type) {
  return guarded(kErrorValue,
                 [&] { return client_->fc_guard_act(direction, ref_ft, tool, wobj, type); });
}

int OvraCobot::fc_guard_deact() {
  return guarded(kErrorValue, [&] { return client_->fc_guard_deact(); });
}

int OvraCobot::fc_force_set_value(const std::vector<bool>& direction,
                                  const std::vector<double>& ref_ft) {
  return guarded(kErrorValue, [&] { return client_->fc_force_set_value(direction, ref_ft); });
}

int OvraCobot::fc_wait_pos(const std::vector<double>& middle, const std::vector<double>& range,
                           bool absolute, int duration, int timeout) {
  return guarded(kErrorValue,
                 [&] { return client_->fc_wait_pos(middle, range, absolute, duration, timeout); });
}

int OvraCobot::fc_wait_vel(const std::vector<double>& middle, const std::vector<double>& range,
                           bool absolute, int duration, int timeout) {
  return guarded(kErrorValue,
                 [&] { return client_->fc_wait_vel(middle, range, absolute, duration, timeout); });
}

int OvraCobot::fc_wait_ft(const std::vector<double>& middle, const std::vector<double>& range,
                          bool absolute, int duration, int timeout) {
  return guarded(kErrorValue,
                 [&] { return client_->fc_wait_ft(middle, range, absolute, duration, timeout); });
}

int OvraCobot::fc_wait_logic(const std::vector<int>& value) {
  return guarded(kErrorValue, [&] { return client_->fc_wait_logic(value); });
}

void OvraCobot::fc_get_ft(std::vector<double>& result) {
  guarded([&] { client_->fc_get_ft(result); });
}

bool OvraCobot::fc_mode_is_active() {
  return guarded(true, [&] { return client_->fc_mode_is_active(); });
}

int OvraCobot::start_realtime_mode(int mode) {
  return guarded(kErrorValue, [&] { return client_->start_realtime_mode(mode); });
}

int OvraCobot::end_realtime_mode() {
  stop_send.store(true);
  return guarded(kErrorValue, [&] { return client_->end_realtime_mode(); });
}

int OvraCobot::enable_speed_optimization() {
  return guarded(kErrorValue, [&] { return client_->enable_speed_optimization(); });
}

int OvraCobot::disable_speed_optimization() {
  return guarded(kErrorValue, [&] { return client_->disable_speed_optimization(); });
}

int OvraCobot::set_system_value_bool(const std::string& name, bool value) {
  return guarded(kErrorValue, [&] { return client_->set_system_value_bool(name, value); });
}

int OvraCobot::set_system_value_double(const std::string& name, double value) {
  return guarded(kErrorValue, [&] { return client_->set_system_value_double(name, value); });
}

int OvraCobot::set_system_value_str(const std::string& name, const std::string& value) {
  return guarded(kErrorValue, [&] { return client_->set_system_value_str(name, value); });
}

int OvraCobot::set_system_value_list(const std::string& name, const std::vector<double>& value) {
  return guarded(kErrorValue, [&] { return client_->set_system_value_list(name, value); });
}

bool OvraCobot::get_system_value_bool(const std::string& name) {
  return guarded(true, [&] { return client_->get_system_value_bool(name); });
}

double OvraCobot::get_system_value_double(const std::string& name) {
  return guarded(kDoubleErrorValue, [&] { return client_->get_system_value_double(name); });
}

void OvraCobot::get_system_value_str(std::string& result, const std::string& name) {
  guarded([&] { client_->get_system_value_str(result, name); });
}

void OvraCobot::get_system_value_list(std::vector<double>& result, const std::string& name) {
  guarded([&] { client_->get_system_value_list(result, name); });
}

int OvraCobot::trackEnqueue(const std::vector<std::vector<double>>& track, bool block) {
  return guarded(kErrorValue, [&] { return client_->trackEnqueue(track, block); });
}

int OvraCobot::trackClearQueue() {
  return guarded(kErrorValue, [&] { return client_->trackClearQueue(); });
}

int OvraCobot::getQueueSize() {
  return guarded(kErrorValue, [&] { return client_->getQueueSize(); });
}

int OvraCobot::trackJointMotion(double speed, double acc, bool block) {
  return guarded(kErrorValue, [&] { return client_->trackJointMotion(speed, acc, block); });
}

int OvraCobot::trackCartMotion(double speed, double acc, bool block, const std::string& tool,
                               const std::string& wobj) {
  return guarded(kErrorValue,
                 [&] { return client_->trackCartMotion(speed, acc, block, tool, wobj, 0.005); });
}

void OvraCobot::rpc_heartbeat(int time) {
  guarded([&] { client_->rpc_heartbeat(time); });
}

int OvraCobot::move_spiral(const std::vector<double>& p1, const std::vector<double>& p2, double rev,
                           double len, double r, int mode, double v, double a,
                           const std::vector<double>& q_near, const std::string& tool,
                           const std::string& wobj, bool block, const OP& op) {
  return guarded(kErrorValue, [&] {
    return client_->move_spiral(p1, p2, rev, len, r, mode, v, a, q_near, tool, wobj, block,
                                change_param(op));
  });
}

int OvraCobot::enable_acc_optimization() {
  return guarded(kErrorValue, [&] { return client_->enable_acc_optimization(); });
}

int OvraCobot::disable_acc_optimization() {
  return guarded(kErrorValue, [&] { return client_->disable_acc_optimization(); });
}

int OvraCobot::set_baudrate_485(int value, bool block) {
  return guarded(kErrorValue, [&] { return client_->set_baudrate_485(value, block); });
}

int OvraCobot::set_baudrate_can(int value, bool block) {
  return guarded(kErrorValue, [&] { return client_->set_baudrate_can(value, block); });
}

int OvraCobot::set_analog_output_mode(short num, int mode, bool block) {
  return guarded(kErrorValue, [&] { return client_->set_analog_output_mode(num, mode, block); });
}

bool OvraCobot::robotmoving() {
  return guarded(true, [&] { return client_->robotmoving(); });
}

int OvraCobot::modbus_write_multiple_coils(int slave_num, const std::string& name, int len,
                                           const std::vector<signed char>& byte_list) {
  return guarded(kErrorValue, [&] {
    return client_->modbus_write_multiple_coils(slave_num, name, len, byte_list);
  });
}

int OvraCobot::modbus_write_multiple_regs(int slave_num, const std::string& name, int len,
                                          const std::vector<short>& word_list) {
  return guarded(kErrorValue, [&] {
    return client_->modbus_write_multiple_regs(slave_num, name, len, word_list);
  });
}

void OvraCobot::get_current_project(std::string& result) {
  guarded([&] { client_->get_current_project(result); });
}

void OvraCobot::get_files_list(std::map<std::string, int>& result, const std::string& path) {
  guarded([&] { client_->get_files_list(result, path); });
}

void OvraCobot::get_tcp_pose_coord(std::vector<double>& result, const std::string& tool,
                                   const std::string& wobj) {
  guarded([&] { client_->get_tcp_pose_coord(result, tool, wobj); });
}

void OvraCobot::get_tcp_force_tool(std::vector<double>& result, const std::string& tool) {
  guarded([&] { client_->get_tcp_force_tool(result, tool); });
}

int OvraCobot::set_servo_config(int axis_num, int id, int value, int qfmt, bool block) {
  return guarded(kErrorValue,
                 [&] { return client_->set_servo_config(axis_num, id, value, qfmt, block); });
}

int OvraCobot::apply_servo_config(int axis_num, bool block) {
  return guarded(kErrorValue, [&] { return client_->apply_servo_config(axis_num, block); });
}

void OvraCobot::get_motor_pole_pair_number(std::vector<short>& result) {
  guarded([&] { client_->get_motor_pole_pair_number(result); });
}

void OvraCobot::get_motor_stator_slots(std::vector<short>& result) {
  guarded([&] { client_->get_motor_stator_slots(result); });
}

void OvraCobot::get_axis_ratio(std::vector<short>& result) {
  guarded([&] { client_->get_axis_ratio(result); });
}

int OvraCobot::collision_detection_reset() {
  return guarded(kErrorValue, [&] { return client_->collision_detection_reset(); });
}

int OvraCobot::set_servo_file_params(int axis_num, int id, const std::string& name, double value,
                                     double qfmt) {
  return guarded(kErrorValue,
                 [&] { return client_->set_servo_file_params(axis_num, id, name, value, qfmt); });
}

// Real-time data sender.

namespace {

// Creates the sender thread with real-time scheduling, or with the default scheduling where the
// process may not use SCHED_FIFO. Returns the pthread_create result of the last attempt.
int create_sender_thread(pthread_t* thread) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kSenderStackBytes);
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  sched_param param{};
  param.sched_priority = kSenderPriority;
  pthread_attr_setschedparam(&attr, &param);
  int rc = pthread_create(thread, &attr, thread_fun, nullptr);
  pthread_attr_destroy(&attr);
  if (rc == 0) {
    return 0;
  }
  std::fprintf(stderr, "OvraCobot: real-time sender without SCHED_FIFO priority %d (%s)\n",
               kSenderPriority, std::strerror(rc));
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kSenderStackBytes);
  rc = pthread_create(thread, &attr, thread_fun, nullptr);
  pthread_attr_destroy(&attr);
  return rc;
}

// Waits for a sender thread that has been created and not yet joined, and closes its socket.
// Returns the result of closing the socket, -1 when there was none. Caller holds sender_mutex.
int reap_sender() {
  if (thread_created) {
    pthread_join(thread_, nullptr);
    thread_created = false;
  }
  const int fd = sock_fd.exchange(-1);
  return fd >= 0 ? ::close(fd) : -1;
}

}  // namespace

void* thread_fun(void* /*arg*/) {
  pthread_setname_np(pthread_self(), "ovra_rt_send");
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(kRealTimePort);
  bool addressValid = false;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    addressValid = inet_pton(AF_INET, server_IP.c_str(), &dest.sin_addr) == 1;
  }
  const int fd = addressValid ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
  if (fd < 0) {
    // No sender runs, so none may be reported: the next start_realtime_thread tries again.
    std::fputs(addressValid ? "OvraCobot: real-time sender has no UDP socket\n"
                            : "OvraCobot: real-time sender needs a dotted IPv4 address\n",
               stderr);
    stop_send.store(true);
    return nullptr;
  }
  sock_fd.store(fd);

  unsigned char datagram[48];
  datagram[0] = datagram[1] = 0xFF;
  datagram[46] = datagram[47] = 0xEE;
  while (!stop_send.load()) {
    RealTimeData (*callback)() = s_callback.load();
    if (callback == nullptr) {
      break;
    }
    RealTimeData record;
    try {
      record = callback();
    } catch (...) {
      // Nobody can hear about it on this thread; end the sender rather than the process.
      std::fputs("OvraCobot: real-time sender stopped: its record function threw\n", stderr);
      stop_send.store(true);
      break;
    }
    std::memcpy(datagram + 2, record.bytes, sizeof record.bytes);
    ::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&dest),
             sizeof dest);
    usleep(1);
  }
  return nullptr;
}

int OvraCobot::start_realtime_thread(RealTimeData (*callback)()) {
  if (callback == nullptr) {
    return kErrorValue;
  }
  std::lock_guard<std::mutex> lock(sender_mutex);
  if (!stop_send.load()) {
    return 0;
  }
  // A sender ended by its flag alone (end_realtime_mode, open, a new client) still holds its
  // thread and socket; release them before they are replaced.
  reap_sender();
  s_callback.store(callback);
  stop_send.store(false);
  if (create_sender_thread(&thread_) != 0) {
    stop_send.store(true);
    return kErrorValue;
  }
  thread_created = true;
  return 0;
}

int OvraCobot::end_realtime_thread() {
  std::lock_guard<std::mutex> lock(sender_mutex);
  stop_send.store(true);
  return reap_sender();
}

}  // namespace OvraRPC
