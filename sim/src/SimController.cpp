#include "sim/SimController.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "RPCRobot.h"

namespace vb::sim {

using apache::thrift::TApplicationException;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::protocol::TProtocol;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;

namespace {

constexpr size_t kDefaultMaxRecordedCalls = 1000000;

std::string text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
std::string text(int32_t v) { return std::to_string(v); }
std::string text(bool v) { return v ? "true" : "false"; }
std::string text(const std::string& v) { return "\"" + v + "\""; }
std::string text(const std::vector<double>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + text(v[i]);
  return out + "]";
}
template <class... T>
std::string args(const T&... v) {
  std::string out;
  ((out += (out.empty() ? "" : ", ") + text(v)), ...);
  return out;
}

// Methods the handler models; it records them itself, with their arguments.
const std::set<std::string>& modelled() {
  static const std::set<std::string> names = {
      "stop",
      "movej2",
      "get_noneblock_taskstate",
      "get_robot_state",
      "get_actual_joints_position",
      "get_target_joints_position",
      "get_actual_joints_speed",
      "get_target_joints_speed",
      "set_servo_config",
      "apply_servo_config",
      "get_motor_pole_pair_number",
      "get_motor_stator_slots",
      "get_axis_ratio",
      "set_servo_file_params",
  };
  return names;
}

}  // namespace

class SimController::Impl {
 public:
  explicit Impl(SimConfig config) : model(std::move(config)) {}

  // --- guarded by mu ---
  mutable std::mutex mu;
  RobotModel model;
  std::deque<RecordedCall> records;
  size_t max_records = kDefaultMaxRecordedCalls;
  std::map<std::string, uint64_t> counts;
  std::map<std::string, int> throws;
  std::chrono::milliseconds reply_delay{0};
  std::map<double, double> scheduled_drops;  // sim time -> seconds
  bool dropping = false;

  void record(const std::string& method, std::string arguments, bool threw = false) {
    ++counts[method];
    if (max_records == 0) return;
    records.push_back(RecordedCall{method, std::move(arguments), model.simTime(), threw});
    while (records.size() > max_records) records.pop_front();
  }

  template <class F>
  auto withLock(F f) {
    std::lock_guard<std::mutex> lock(mu);
    return f(*this);
  }

  // True when this call is to answer an exception; counts the injection down.
  bool takeThrow(const std::string& method) {
    auto it = throws.find(method);
    if (it == throws.end()) return false;
    if (it->second > 0 && --it->second == 0) throws.erase(it);
    return true;
  }

  // --- server, guarded by life_mu; never taken on a connection thread ---
  std::mutex life_mu;
  std::shared_ptr<TThreadedServer> server;
  std::thread server_thread;
  int bound_port = 0;
  bool want_running = false;  // between start() and stop()

  // --- drop requests and wake-ups, guarded by req_mu ---
  std::mutex req_mu;
  std::condition_variable req_cv;
  bool shutting_down = false;
  bool drop_pending = false;
  uint64_t drops_done = 0;
  uint64_t wake_epoch = 0;  // bumped to cut reply delays short
  std::chrono::steady_clock::time_point refuse_until{};
  std::thread supervisor;

  int listen(int port);  // life_mu held
  void halt();           // life_mu held
  void setDropping(bool on) {
    std::lock_guard<std::mutex> lock(mu);
    dropping = on;
  }
  void wakeDelayed() {
    std::lock_guard<std::mutex> lock(req_mu);
    ++wake_epoch;
    req_cv.notify_all();
  }
  void requestDrop(double seconds, bool wait);
  void supervise();
  bool sleepReplyDelay(std::chrono::milliseconds delay);  // false when cut short
};

namespace {

class Handler : public RPCRobotNull {
 public:
  explicit Handler(SimController::Impl& impl) : impl_(impl) {}

  template <class F>
  auto serve(const char* method, std::string arguments, F f) {
    std::lock_guard<std::mutex> lock(impl_.mu);
    impl_.record(method, std::move(arguments));
    return f(impl_.model);
  }

  int32_t stop(const bool block) override {
    return serve("stop", args(block), [](RobotModel& m) { return m.stop(); });
  }
  int32_t movej2(const std::vector<double>& joints, const double v, const double a, const double r,
                 const bool block, const Op&) override {
    return serve("movej2", args(joints, v, a, r, block),
                 [&](RobotModel& m) { return m.movej2(joints, v, a); });
  }
  int32_t get_noneblock_taskstate(const int32_t id) override {
    return serve("get_noneblock_taskstate", args(id),
                 [&](RobotModel& m) { return m.taskState(id); });
  }
  void get_robot_state(std::vector<int8_t>& out) override {
    std::lock_guard<std::mutex> lock(impl_.mu);
    impl_.model.advance();
    impl_.record("get_robot_state", "");
    out = impl_.model.robotState();
  }
  void get_actual_joints_position(std::vector<double>& out) override {
    out = serve("get_actual_joints_position", "", [](RobotModel& m) { return m.positions(); });
  }
  void get_target_joints_position(std::vector<double>& out) override {
    out = serve("get_target_joints_position", "", [](RobotModel& m) { return m.positions(); });
  }
  void get_actual_joints_speed(std::vector<double>& out) override {
    out = serve("get_actual_joints_speed", "", [](RobotModel& m) { return m.actualSpeeds(); });
  }
  void get_target_joints_speed(std::vector<double>& out) override {
    out = serve("get_target_joints_speed", "", [](RobotModel& m) { return m.targetSpeeds(); });
  }
  int32_t set_servo_config(const int32_t axis, const int32_t id, const int32_t value,
                           const int32_t qfmt, const bool block) override {
    return serve("set_servo_config", args(axis, id, value, qfmt, block),
                 [&](RobotModel& m) { return m.setServoConfig(axis, id, value); });
  }
  int32_t apply_servo_config(const int32_t axis, const bool block) override {
    return serve("apply_servo_config", args(axis, block),
                 [&](RobotModel& m) { return m.applyServoConfig(axis); });
  }
  void get_motor_pole_pair_number(std::vector<int16_t>& out) override {
    out = serve("get_motor_pole_pair_number", "", [](RobotModel& m) { return m.polePairs(); });
  }
  void get_motor_stator_slots(std::vector<int16_t>& out) override {
    out = serve("get_motor_stator_slots", "", [](RobotModel& m) { return m.statorSlots(); });
  }
  void get_axis_ratio(std::vector<int16_t>& out) override {
    out = serve("get_axis_ratio", "", [](RobotModel& m) { return m.axisRatios(); });
  }
  int32_t set_servo_file_params(const int32_t axis, const int32_t id, const std::string& name,
                                const double value, const double qfmt) override {
    return serve("set_servo_file_params", args(axis, id, name, value, qfmt),
                 [&](RobotModel& m) { return m.setServoFileParam(axis, id, name, value); });
  }

 private:
  SimController::Impl& impl_;
};

// Wraps the generated dispatch with what applies to every method: the reply delay, dropped
// connections, injected exceptions and the record of methods the handler does not model.
class Processor : public RPCRobotProcessor {
 public:
  Processor(std::shared_ptr<Handler> handler, SimController::Impl& impl)
      : RPCRobotProcessor(handler), impl_(impl) {}

 protected:
  bool dispatchCall(TProtocol* in, TProtocol* out, const std::string& fname, int32_t seqid,
                    void* context) override {
    std::chrono::milliseconds delay{0};
    bool drop_now = false;
    double drop_seconds = 0.0;
    {
      std::lock_guard<std::mutex> lock(impl_.mu);
      if (impl_.dropping) return false;  // closes this connection without a reply
      if (fname == "get_robot_state" && !impl_.scheduled_drops.empty()) {
        auto first = impl_.scheduled_drops.begin();
        if (impl_.model.simTime() + kControlPeriod + 1e-9 >= first->first) {
          drop_now = true;
          drop_seconds = first->second;
          impl_.scheduled_drops.erase(first);
          impl_.dropping = true;
        }
      }
      delay = impl_.reply_delay;
    }
    if (drop_now) {
      impl_.requestDrop(drop_seconds, false);
      return false;
    }
    // A stop or drop during the delay ends the connection without a reply.
    if (!impl_.sleepReplyDelay(delay)) return false;
    bool threw = false;
    {
      std::lock_guard<std::mutex> lock(impl_.mu);
      threw = impl_.takeThrow(fname);
      if (threw) {
        if (fname == "get_robot_state") impl_.model.advance();
        impl_.record(fname, "", true);
      } else if (modelled().count(fname) == 0) {
        impl_.record(fname, "");
      }
    }
    if (!threw) return RPCRobotProcessor::dispatchCall(in, out, fname, seqid, context);
    in->skip(apache::thrift::protocol::T_STRUCT);
    in->readMessageEnd();
    in->getTransport()->readEnd();
    TApplicationException x(TApplicationException::INTERNAL_ERROR,
                            "simulated controller fault in " + fname);
    out->writeMessageBegin(fname, apache::thrift::protocol::T_EXCEPTION, seqid);
    x.write(out);
    out->writeMessageEnd();
    out->getTransport()->writeEnd();
    out->getTransport()->flush();
    return true;
  }

 private:
  SimController::Impl& impl_;
};

// Reports the port once the socket listens, so start() returns only when connections succeed.
class Listening : public apache::thrift::server::TServerEventHandler {
 public:
  Listening(std::shared_ptr<std::promise<int>> bound, std::shared_ptr<int> port)
      : bound_(std::move(bound)), port_(std::move(port)) {}
  void preServe() override { bound_->set_value(*port_); }

 private:
  std::shared_ptr<std::promise<int>> bound_;
  std::shared_ptr<int> port_;
};

}  // namespace

bool SimController::Impl::sleepReplyDelay(std::chrono::milliseconds delay) {
  if (delay.count() <= 0) return true;
  std::unique_lock<std::mutex> lock(req_mu);
  const uint64_t epoch = wake_epoch;
  return !req_cv.wait_for(lock, delay, [&] { return shutting_down || wake_epoch != epoch; });
}

int SimController::Impl::listen(int port) {
  auto socket = std::make_shared<TServerSocket>("127.0.0.1", port);
  auto bound = std::make_shared<std::promise<int>>();
  auto seen = std::make_shared<int>(-1);
  socket->setListenCallback([seen](THRIFT_SOCKET fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      *seen = ntohs(addr.sin_port);
    }
  });
  auto handler = std::make_shared<Handler>(*this);
  auto processor = std::make_shared<Processor>(handler, *this);
  auto srv = std::make_shared<TThreadedServer>(processor, socket,
                                               std::make_shared<TBufferedTransportFactory>(),
                                               std::make_shared<TBinaryProtocolFactory>());
  srv->setServerEventHandler(std::make_shared<Listening>(bound, seen));
  std::future<int> result = bound->get_future();
  std::thread thread([srv, bound] {
    try {
      srv->serve();
    } catch (const std::exception& e) {
      try {
        bound->set_exception(std::make_exception_ptr(std::runtime_error(e.what())));
      } catch (const std::future_error&) {
        // Already listening: the server ended after it had started.
      }
    }
  });
  int got = -1;
  try {
    got = result.get();
  } catch (const std::exception&) {
    got = -1;
  }
  if (got <= 0) {
    srv->stop();
    thread.join();
    return -1;
  }
  server = srv;
  server_thread = std::move(thread);
  bound_port = got;
  return got;
}

void SimController::Impl::halt() {
  if (!server) return;
  server->stop();
  server_thread.join();
  server.reset();
}

void SimController::Impl::requestDrop(double seconds, bool wait) {
  std::unique_lock<std::mutex> lock(req_mu);
  const auto span = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds > 0.0 ? seconds : 0.0));
  refuse_until = std::chrono::steady_clock::now() + span;
  drop_pending = true;
  ++wake_epoch;
  const uint64_t target = drops_done + 1;
  req_cv.notify_all();
  if (wait) req_cv.wait(lock, [&] { return drops_done >= target || shutting_down; });
}

// Carries out drops off the connection threads: stopping the server waits for every connection
// thread, so a connection cannot do it itself.
void SimController::Impl::supervise() {
  std::unique_lock<std::mutex> lock(req_mu);
  for (;;) {
    req_cv.wait(lock, [this] { return shutting_down || drop_pending; });
    if (shutting_down) return;
    lock.unlock();
    setDropping(true);
    {
      std::lock_guard<std::mutex> life(life_mu);
      halt();
    }
    lock.lock();
    drop_pending = false;
    ++drops_done;
    req_cv.notify_all();
    // Refuse connections for the span (a later drop extends it), then listen on the same port.
    for (;;) {
      if (req_cv.wait_until(lock, refuse_until, [this] { return shutting_down || drop_pending; })) {
        if (shutting_down) return;
        drop_pending = false;
        ++drops_done;
        req_cv.notify_all();
        continue;
      }
      lock.unlock();
      bool listening = true;
      {
        std::lock_guard<std::mutex> life(life_mu);
        if (want_running && !server) {
          setDropping(false);
          listening = listen(bound_port) > 0;
        }
      }
      lock.lock();
      if (listening) break;
      refuse_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    }
    lock.unlock();
    setDropping(false);
    lock.lock();
  }
}

SimController::SimController(SimConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {
  impl_->supervisor = std::thread([this] { impl_->supervise(); });
}

SimController::~SimController() {
  {
    std::lock_guard<std::mutex> lock(impl_->req_mu);
    impl_->shutting_down = true;
    impl_->req_cv.notify_all();
  }
  impl_->supervisor.join();
  stop();
}

int SimController::start(int port) {
  std::lock_guard<std::mutex> lock(impl_->life_mu);
  if (impl_->want_running) throw std::runtime_error("simulated controller already running");
  if (port < 0 || port > 65535)
    throw std::runtime_error("port out of range: " + std::to_string(port));
  impl_->setDropping(false);
  const int got = impl_->listen(port);
  if (got <= 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  impl_->want_running = true;
  return got;
}

void SimController::stop() {
  impl_->wakeDelayed();
  std::lock_guard<std::mutex> lock(impl_->life_mu);
  impl_->want_running = false;
  impl_->halt();
}

int SimController::port() const {
  std::lock_guard<std::mutex> lock(impl_->life_mu);
  return impl_->bound_port;
}

bool SimController::running() const {
  std::lock_guard<std::mutex> lock(impl_->life_mu);
  return impl_->server != nullptr;
}

void SimController::setRobotState(std::vector<int8_t> state) {
  impl_->withLock([&](Impl& i) { i.model.setRobotStateAt(i.model.simTime(), std::move(state)); });
}

void SimController::setRobotStateAt(double sim_time, std::vector<int8_t> state) {
  impl_->withLock([&](Impl& i) { i.model.setRobotStateAt(sim_time, std::move(state)); });
}

void SimController::failTask(int joint, TaskKind kind, int nth) {
  impl_->withLock([&](Impl& i) { i.model.failTask(joint, kind, nth); });
}

void SimController::tasksNeverFinish(bool never) {
  impl_->withLock([&](Impl& i) { i.model.setTasksNeverFinish(never); });
}

void SimController::pauseMotionAt(double sim_time, double seconds) {
  impl_->withLock([&](Impl& i) { i.model.pauseMotionAt(sim_time, seconds); });
}

void SimController::setServoTaskQueries(int queries) {
  impl_->withLock([&](Impl& i) { i.model.setServoTaskQueries(queries); });
}

void SimController::setReplyDelay(std::chrono::milliseconds delay) {
  impl_->withLock([&](Impl& i) { i.reply_delay = delay; });
}

void SimController::dropConnectionsFor(double seconds) {
  impl_->setDropping(true);
  impl_->requestDrop(seconds, true);
}

void SimController::dropConnectionsAt(double sim_time, double seconds) {
  impl_->withLock([&](Impl& i) { i.scheduled_drops[sim_time] = seconds; });
}

void SimController::throwOnMethod(const std::string& method, int times) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (times == 0) {
    impl_->throws.erase(method);
  } else {
    impl_->throws[method] = times;
  }
}

void SimController::setMotorDataLength(int length) {
  impl_->withLock([&](Impl& i) { i.model.setMotorDataLength(length); });
}

std::vector<RecordedCall> SimController::calls() const {
  return impl_->withLock(
      [&](Impl& i) { return std::vector<RecordedCall>(i.records.begin(), i.records.end()); });
}

std::vector<RecordedCall> SimController::callsOf(const std::string& method) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<RecordedCall> out;
  for (const auto& c : impl_->records) {
    if (c.method == method) out.push_back(c);
  }
  return out;
}

uint64_t SimController::callCount(const std::string& method) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->counts.find(method);
  return it == impl_->counts.end() ? 0 : it->second;
}

void SimController::clearCalls() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->records.clear();
  impl_->counts.clear();
}

void SimController::setMaxRecordedCalls(size_t max) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->max_records = max;
  while (impl_->records.size() > max) impl_->records.pop_front();
}

std::vector<ServoApply> SimController::servoApplies() const {
  return impl_->withLock([&](Impl& i) { return i.model.servoApplies(); });
}

std::optional<int32_t> SimController::activeServoParam(int joint, int id) const {
  return impl_->withLock([&](Impl& i) { return i.model.activeServoParam(joint, id); });
}

std::map<FileParamKey, double> SimController::fileParams() const {
  return impl_->withLock([&](Impl& i) { return i.model.fileParams(); });
}

std::vector<double> SimController::jointPositions() const {
  return impl_->withLock([&](Impl& i) { return i.model.positions(); });
}

double SimController::simTime() const {
  return impl_->withLock([&](Impl& i) { return i.model.simTime(); });
}

int SimController::taskCount(int joint, TaskKind kind) const {
  return impl_->withLock([&](Impl& i) { return i.model.taskCount(joint, kind); });
}

int SimController::overlappingMoves() const {
  return impl_->withLock([&](Impl& i) { return i.model.overlappingMoves(); });
}

std::array<JointTruth, kJoints> SimController::groundTruth() const {
  return impl_->withLock([&](Impl& i) { return i.model.groundTruth(); });
}

SimConfig SimController::config() const {
  return impl_->withLock([&](Impl& i) { return i.model.config(); });
}

void SimController::withModel(const std::function<void(RobotModel&)>& f) {
  impl_->withLock([&](Impl& i) { f(i.model); });
}

}  // namespace vb::sim
