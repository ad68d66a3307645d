// Controller replies into the SDK client. The first byte picks one of a dozen SDK methods of
// different result types; the rest is what a fake controller on a loopback socket writes back
// to that method's request before it closes its side. Whatever the bytes, the call returns (the
// end of the stream ends a short reply), throws nothing, and agrees with the generated client
// decoding the same bytes from memory: the reply's value when that decodes, else the method's
// error value and the out-parameter as the SDK documents it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thrift/Thrift.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OvraCobot.h"
#include "RPCRobot.h"

namespace {

using apache::thrift::protocol::TBinaryProtocolT;
using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TTransport;
using OvraRPC::OvraCobot;

// The SDK's own size limits on its protocol; the reference decoder needs the same ones to fail
// at the same point.
constexpr int32_t kMaxStringBytes = 16 * 1024 * 1024;
constexpr int32_t kMaxContainerElements = 1000000;
// Larger replies are not tried: the whole reply is written before the client reads, so it has
// to fit the socket buffers.
constexpr std::size_t kMaxReplyBytes = 64 * 1024;

int g_listen_fd = -1;
OvraCobot* g_robot = nullptr;  // one client for the whole run, as the program keeps one

[[noreturn]] void fail(const char* method, const char* what) {
  std::fprintf(stderr, "sdk_reply_fuzzer: %s: %s\n", method, what);
  std::abort();
}

template <typename T>
bool same_bits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), 8 * a.size()) == 0);
}
template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a == b;
}
template <typename K, typename V>
bool same_bits(const std::map<K, V>& a, const std::map<K, V>& b) {
  return a == b;
}
bool same_bits(const std::string& a, const std::string& b) { return a == b; }

// The generated client reading the reply from memory: what the SDK must agree with.
class Reference {
 public:
  // The buffer gets one spare byte: an empty reply must not hand the library a null buffer.
  explicit Reference(const std::string& reply)
      : bytes_(reply.size() + 1),
        memory_(std::make_shared<TMemoryBuffer>(bytes_.data(), static_cast<uint32_t>(reply.size()),
                                                TMemoryBuffer::OBSERVE)) {
    std::memcpy(bytes_.data(), reply.data(), reply.size());
    auto protocol = std::make_shared<TBinaryProtocolT<TTransport>>(memory_);
    protocol->setStringSizeLimit(kMaxStringBytes);
    protocol->setContainerSizeLimit(kMaxContainerElements);
    client_ = std::make_unique<RPCRobotClient>(protocol);
  }

  RPCRobotClient& client() { return *client_; }

 private:
  std::vector<uint8_t> bytes_;
  std::shared_ptr<TMemoryBuffer> memory_;
  std::unique_ptr<RPCRobotClient> client_;
};

template <typename R, typename SdkCall, typename RefCall>
void check_value(const char* method, const std::string& reply, R error_value, SdkCall sdk,
                 RefCall ref) {
  Reference reference(reply);
  R expected = error_value;
  try {
    expected = ref(reference.client());
  } catch (const std::exception&) {
  }
  const R got = sdk(*g_robot);
  if (!same_bits(got, expected)) fail(method, "result differs from the reply's");
}

// emptied: the SDK empties the container before the request; otherwise it hands the caller's
// container to the client as it is.
template <typename C, typename SdkCall, typename RefCall>
void check_out(const char* method, const std::string& reply, bool emptied, const C& prior,
               SdkCall sdk, RefCall ref) {
  Reference reference(reply);
  C expected = prior;
  if (emptied) expected.clear();
  try {
    ref(reference.client(), expected);
  } catch (const std::exception&) {
  }
  C got = prior;
  sdk(*g_robot, got);
  if (!same_bits(got, expected)) fail(method, "out-parameter differs from the reply's");
}

OvraRPC::RobotStatusList prior_status() {
  OvraRPC::RobotStatusList s;
  s.jointActualVelocity = {1.0, 2.0};
  s.slaveReady = {true};
  s.collision = true;
  s.collisionAxis = 3;
  s.emcStopSignal = true;
  s.robotState = 4;
  s.robotError = 77;
  return s;
}

// Lists replaced (empty after a failure), single values kept after a failure.
void check_robot_status(const std::string& reply) {
  Reference reference(reply);
  RobotStatus r;
  bool decoded = true;
  try {
    reference.client().recv_getRobotStatus(r);
  } catch (const std::exception&) {
    decoded = false;
  }
  OvraRPC::RobotStatusList got = prior_status();
  g_robot->getRobotStatus(got);
  const OvraRPC::RobotStatusList prior = prior_status();
  const std::vector<double> none;
  const std::pair<const std::vector<double>*, const std::vector<double>*> lists[] = {
      {&got.jointExpectPosition, &r.jointExpectPosition},
      {&got.jointExpectVelocity, &r.jointExpectVelocity},
      {&got.jointExpectAccelera, &r.jointExpectAccelera},
      {&got.jointActualPosition, &r.jointActualPosition},
      {&got.jointActualVelocity, &r.jointActualVelocity},
      {&got.jointActualAccelera, &r.jointActualAccelera},
      {&got.jointActualCurrent, &r.jointActualCurrent},
      {&got.jointTemperature, &r.jointTemperature},
      {&got.driverTemperature, &r.driverTemperature},
      {&got.cartExpectPosition, &r.cartExpectPosition},
      {&got.cartExpectVelocity, &r.cartExpectVelocity},
      {&got.cartExpectAccelera, &r.cartExpectAccelera},
      {&got.cartActualPosition, &r.cartActualPosition},
      {&got.cartActualVelocity, &r.cartActualVelocity},
      {&got.cartActualAccelera, &r.cartActualAccelera},
  };
  for (const auto& [sdk_list, reply_list] : lists) {
    if (!same_bits(*sdk_list, decoded ? *reply_list : none)) fail("getRobotStatus", "a list");
  }
  if (got.slaveReady != (decoded ? r.slaveReady : std::vector<bool>())) {
    fail("getRobotStatus", "slaveReady");
  }
  const bool collision = decoded ? r.collision : prior.collision;
  const int8_t axis = decoded ? r.collisionAxis : prior.collisionAxis;
  const bool emc = decoded ? r.emcStopSignal : prior.emcStopSignal;
  const int8_t state = decoded ? r.robotState : prior.robotState;
  const int32_t error = decoded ? r.robotError : prior.robotError;
  if (got.collision != collision || got.collisionAxis != axis || got.emcStopSignal != emc ||
      got.robotState != state || got.robotError != error) {
    fail("getRobotStatus", "a single value");
  }
}

void call_method(uint8_t pick, const std::string& reply) {
  using C = RPCRobotClient;
  switch (pick % 12) {
    case 0:
      return check_out(
          "get_actual_joints_speed", reply, true, std::vector<double>{1.5, -2.5},
          [](OvraCobot& o, std::vector<double>& v) { o.get_actual_joints_speed(v); },
          [](C& c, std::vector<double>& v) { c.recv_get_actual_joints_speed(v); });
    case 1:
      return check_out(
          "get_robot_state", reply, true, std::vector<signed char>{1, 0, 1, 0},
          [](OvraCobot& o, std::vector<signed char>& v) { o.get_robot_state(v); },
          [](C& c, std::vector<signed char>& v) { c.recv_get_robot_state(v); });
    case 2:
      return check_value(
          "read_word_reg", reply, -1, [](OvraCobot& o) { return o.read_word_reg(3); },
          [](C& c) { return c.recv_read_word_reg(); });
    case 3:
      return check_value(
          "get_standard_analog_voltage_in", reply, -1.0,
          [](OvraCobot& o) { return o.get_standard_analog_voltage_in(1); },
          [](C& c) { return c.recv_get_standard_analog_voltage_in(); });
    case 4:
      return check_value(
          "get_standard_digital_in", reply, false,
          [](OvraCobot& o) { return o.get_standard_digital_in(2); },
          [](C& c) { return c.recv_get_standard_digital_in(); });
    case 5:
      return check_value(
          "get_function_digital_in", reply, true,
          [](OvraCobot& o) { return o.get_function_digital_in(2); },
          [](C& c) { return c.recv_get_function_digital_in(); });
    case 6:
      return check_out(
          "get_motor_pole_pair_number", reply, false, std::vector<short>(6, 8),
          [](OvraCobot& o, std::vector<short>& v) { o.get_motor_pole_pair_number(v); },
          [](C& c, std::vector<short>& v) { c.recv_get_motor_pole_pair_number(v); });
    case 7:
      return check_out(
          "get_last_error", reply, false, std::vector<std::string>{"kept"},
          [](OvraCobot& o, std::vector<std::string>& v) { o.get_last_error(v); },
          [](C& c, std::vector<std::string>& v) { c.recv_get_last_error(v); });
    case 8:
      return check_out(
          "get_files_list", reply, false, std::map<std::string, int>{{"kept", 1}},
          [](OvraCobot& o, std::map<std::string, int>& m) { o.get_files_list(m, "/"); },
          [](C& c, std::map<std::string, int>& m) { c.recv_get_files_list(m); });
    case 9:
      return check_out(
          "get_system_value_str", reply, false, std::string("kept"),
          [](OvraCobot& o, std::string& s) { o.get_system_value_str(s, "name"); },
          [](C& c, std::string& s) { c.recv_get_system_value_str(s); });
    case 10:
      return check_value(
          "get_noneblock_taskstate", reply, -1,
          [](OvraCobot& o) { return o.get_noneblock_taskstate(12); },
          [](C& c) { return c.recv_get_noneblock_taskstate(); });
    default:
      return check_robot_status(reply);
  }
}

bool send_all(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// One connection: the fake controller answers with reply and closes its side, then the call.
template <typename Call>
void exchange(const std::string& reply, Call call) {
  // The connect completes in the listen queue, so one thread plays both sides.
  if (g_robot->open() != 0) fail("open", OvraRPC::last_error().c_str());
  const int fd = ::accept4(g_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) fail("accept", std::strerror(errno));
  if (!send_all(fd, reply)) fail("fake controller", "reply does not fit the socket buffer");
  ::shutdown(fd, SHUT_WR);
  call();
  g_robot->close();
  ::close(fd);
}

// A sound reply on a new connection must read as itself, whatever the last one left unread.
void check_fresh_start() {
  static const std::string good = [] {
    auto memory = std::make_shared<TMemoryBuffer>();
    TBinaryProtocolT<TTransport> protocol(memory);
    RPCRobot_get_actual_joints_speed_result result;
    result.success = {0.5, -1.0, 2.0, 0.0, 3.25, -4.5};
    result.__isset.success = true;
    protocol.writeMessageBegin("get_actual_joints_speed", apache::thrift::protocol::T_REPLY, 0);
    result.write(&protocol);
    protocol.writeMessageEnd();
    return memory->getBufferAsString();
  }();
  static const std::vector<double> want = {0.5, -1.0, 2.0, 0.0, 3.25, -4.5};
  std::vector<double> got;
  exchange(good, [&] { g_robot->get_actual_joints_speed(got); });
  if (!same_bits(got, want)) fail("reconnect", "a sound reply after this one read wrong");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library reports each broken connection; the fuzzer breaks thousands a second.
  apache::thrift::GlobalOutput.setOutputFunction([](const char*) {});
  g_listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Accepted sockets inherit it: the whole reply is queued before the client reads any of it.
  const int send_buffer = 1 << 20;
  ::setsockopt(g_listen_fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (g_listen_fd < 0 || ::bind(g_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
      ::listen(g_listen_fd, 4) ||
      ::getsockname(g_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len)) {
    std::perror("sdk_reply_fuzzer: listen on 127.0.0.1");
    std::abort();
  }
  g_robot = new OvraCobot("127.0.0.1", ntohs(addr.sin_port));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size - 1 > kMaxReplyBytes) return -1;
  const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
  exchange(reply, [&] { call_method(data[0], reply); });
  check_fresh_start();
  return 0;
}
