// The generated client against the generated server over loopback TCP, both on the stack the SDK
// uses: TSocket / TServerSocket, TBufferedTransport, TBinaryProtocol.
#include <gtest/gtest.h>
#include <thrift/TApplicationException.h>
#include <thrift/server/TSimpleServer.h>
#include <thrift/transport/TServerSocket.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rpc_client.h"
#include "wire_samples.h"

namespace {

using apache::thrift::TApplicationException;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TServerEventHandler;
using apache::thrift::server::TSimpleServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TServerSocket;
using vb::test::RpcConnection;

// A controller that keeps what it was sent; the server thread writes, the test thread reads.
class RecordingController : public RPCRobotNull {
 public:
  struct Move {
    std::vector<double> joints;
    double v = 0, a = 0, r = 0;
    bool block = true;
    Op op;
  };

  int32_t movej2(const std::vector<double>& joints, double v, double a, double r, bool block,
                 const Op& op) override {
    std::lock_guard<std::mutex> lock(mutex_);
    move_ = {joints, v, a, r, block, op};
    return 1234;
  }
  int32_t spline(const std::vector<std::vector<double>>& poses, double, double, const std::string&,
                 const std::string&, bool, const Op& op) override {
    std::lock_guard<std::mutex> lock(mutex_);
    poses_ = poses;
    move_.op = op;
    return static_cast<int32_t>(poses.size());
  }
  int32_t trackEnqueue(const std::vector<std::vector<double>>& track, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    poses_ = track;
    return 0;
  }
  bool write_raw_data_485(const std::vector<int8_t>& data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ = data;
    return true;
  }
  int32_t modbus_write_multiple_regs(int32_t, const std::string&, int32_t len,
                                     const std::vector<int16_t>& words) override {
    std::lock_guard<std::mutex> lock(mutex_);
    words_ = words;
    return len;
  }
  int32_t set_load_data(const std::vector<double>& value) override {
    return static_cast<int32_t>(value.size());
  }
  void log_info(const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  void get_motor_pole_pair_number(std::vector<int16_t>& out) override { out = {5, 5, 5, 4, 4, 4}; }
  void get_files_list(std::map<std::string, int32_t>& out, const std::string& path) override {
    out = {{path + "/a.prg", 1}, {path + "/b.prg", 0}};
  }
  void getRobotStatus(RobotStatus& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    out = status_;
  }
  void getRobotIOStatus(IOStatus& out) override {
    out.analogCurrentOutputs = {4.0};
    out.analogVoltageOutputs = {};
    out.digitalInputs = {true, false, true};
    out.digitalOutputs = {false};
    out.toolIOIn = {true};
    out.toolIOOut = {};
    out.toolButton = {false, true};
  }
  double get_system_value_double(const std::string&) override { return 1.0 / 3.0; }
  int32_t get_noneblock_taskstate(int32_t id) override {
    if (id < 0) throw std::runtime_error("no task " + std::to_string(id));
    return TaskState::ST_Finished;
  }

  void setStatus(const RobotStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
  }
  Move move() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return move_;
  }
  std::vector<std::vector<double>> poses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return poses_;
  }
  std::vector<int8_t> bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  std::vector<int16_t> words() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return words_;
  }
  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  Move move_;
  std::vector<std::vector<double>> poses_{{-1.0}};
  std::vector<int8_t> bytes_;
  std::vector<int16_t> words_;
  std::vector<std::string> messages_;
  RobotStatus status_;
};

// The generated processor behind a TSimpleServer on 127.0.0.1, at a port the system picks.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::shared_ptr<RPCRobotIf> handler) {
    auto socket = std::make_shared<TServerSocket>("127.0.0.1", 0);
    server_ = std::make_unique<TSimpleServer>(std::make_shared<RPCRobotProcessor>(handler), socket,
                                              std::make_shared<TBufferedTransportFactory>(),
                                              std::make_shared<TBinaryProtocolFactory>());
    auto listening = std::make_shared<Listening>();
    std::future<void> ready = listening->ready.get_future();
    server_->setServerEventHandler(listening);
    thread_ = std::thread([this] { server_->serve(); });
    if (ready.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      server_->stop();
      thread_.join();
      throw std::runtime_error("loopback server did not start listening");
    }
    port_ = static_cast<uint16_t>(socket->getPort());
  }
  ~LoopbackServer() {
    server_->stop();
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  struct Listening : TServerEventHandler {
    void preServe() override { ready.set_value(); }
    std::promise<void> ready;
  };
  std::unique_ptr<TSimpleServer> server_;
  std::thread thread_;
  uint16_t port_ = 0;
};

class Loopback : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingController> controller_ = std::make_shared<RecordingController>();
  LoopbackServer server_{controller_};
  RpcConnection rpc_{server_.port()};
  RPCRobotClient& client_ = rpc_.client;
};

TEST_F(Loopback, Movej2DeliversItsTargetsAndAllTwelveOptions) {
  const std::vector<double> targets = {0.1, -0.2, 1.5, 0.0, -3.1, 2.0};
  EXPECT_EQ(client_.movej2(targets, 0.05, 1.0, 0.0, false, vb::test::sampleOp()), 1234);
  const auto move = controller_->move();
  EXPECT_EQ(move.joints, targets);
  EXPECT_EQ(move.v, 0.05);
  EXPECT_EQ(move.a, 1.0);
  EXPECT_EQ(move.r, 0.0);
  EXPECT_FALSE(move.block);
  EXPECT_EQ(move.op, vb::test::sampleOp());
  EXPECT_EQ(client_.get_noneblock_taskstate(1234), TaskState::ST_Finished);
}

TEST_F(Loopback, PathListsKeepEachInnerLength) {
  const std::vector<std::vector<double>> poses = {{0, 1, 2, 3, 4, 5}, {10, 11, 12}};
  EXPECT_EQ(client_.spline(poses, 0.2, 0.4, "tool0", "wobj0", true, Op()), 2);
  EXPECT_EQ(controller_->poses(), poses);
  EXPECT_EQ(controller_->move().op, Op());

  EXPECT_EQ(client_.spline({}, 0.2, 0.4, "", "", true, Op()), 0);
  EXPECT_TRUE(controller_->poses().empty());

  const std::vector<std::vector<double>> track = {{}, {7.5}, {}};
  client_.trackEnqueue(track, false);
  EXPECT_EQ(controller_->poses(), track);
}

TEST_F(Loopback, StatusRecordsArriveWhole) {
  RobotStatus sent;
  sent.jointExpectPosition = {1, 2, 3, 4, 5, 6};
  sent.jointActualVelocity = {-0.5};
  sent.cartActualAccelera = {9.75, 8.5};
  sent.slaveReady = {true, true, false, true, true, true};
  sent.collision = true;
  sent.collisionAxis = -4;
  sent.emcStopSignal = true;
  sent.robotState = 6;
  sent.robotError = -123456;
  controller_->setStatus(sent);
  RobotStatus received;
  received.jointTemperature = {99.0};  // replaced, not appended to
  client_.getRobotStatus(received);
  EXPECT_EQ(received, sent);

  IOStatus io;
  client_.getRobotIOStatus(io);
  EXPECT_EQ(io.digitalInputs, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(io.toolIOOut.empty());
  EXPECT_EQ(io.toolButton, (std::vector<bool>{false, true}));
}

TEST_F(Loopback, BytesAndWordsTravelUnwidened) {
  const std::vector<int8_t> data = {-56, -1, 0, 127, -128};
  EXPECT_TRUE(client_.write_raw_data_485(data));
  EXPECT_EQ(controller_->bytes(), data);
  const std::vector<int16_t> words = {-32768, 32767, -1};
  EXPECT_EQ(client_.modbus_write_multiple_regs(1, "regs", 16, words), 16);
  EXPECT_EQ(controller_->words(), words);
  std::vector<int16_t> poles;
  client_.get_motor_pole_pair_number(poles);
  EXPECT_EQ(poles, (std::vector<int16_t>{5, 5, 5, 4, 4, 4}));
}

TEST_F(Loopback, ScalarsMapsAndVoidCalls) {
  EXPECT_EQ(client_.get_system_value_double("ratio"), 1.0 / 3.0);
  EXPECT_EQ(client_.set_load_data({1, 2, 3, 4, 5, 6, 7}), 7);
  std::map<std::string, int32_t> files{{"stale", 5}};
  client_.get_files_list(files, "/p");
  EXPECT_EQ(files, (std::map<std::string, int32_t>{{"/p/a.prg", 1}, {"/p/b.prg", 0}}));
  client_.log_info("");
  client_.log_info("joint 2 done");
  EXPECT_EQ(controller_->messages(), (std::vector<std::string>{"", "joint 2 done"}));
  // A method the controller does not implement answers with its zero value.
  EXPECT_EQ(client_.power_on(true), 0);
}

TEST_F(Loopback, AControllerFailureArrivesAsAnApplicationException) {
  try {
    client_.get_noneblock_taskstate(-1);
    FAIL() << "the failure was not reported";
  } catch (const TApplicationException& e) {
    EXPECT_EQ(e.getType(), TApplicationException::UNKNOWN);
    EXPECT_STREQ(e.what(), "no task -1");
  }
  EXPECT_EQ(client_.get_noneblock_taskstate(2), TaskState::ST_Finished);
}

}  // namespace
