// What one SDK call costs beyond the wire. The SDK's get_actual_joints_speed against an
// in-process controller (the generated RPCRobotProcessor over loopback TCP, its handler returning
// six doubles), beside a raw TCP ping-pong between two sockets of the same request and reply byte
// sizes, which is as fast as a round trip on this machine can go. Both run one blocking
// request and reply at a time, with the answering side on a thread of its own; the ratio of the
// two is printed after the table.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "OvraCobot.h"
#include "RPCRobot.h"

namespace {

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TMemoryBuffer;

const std::vector<double> kSpeeds = {0.01, -0.02, 0.03, -0.04, 0.05, -0.06};

class SpeedHandler : public RPCRobotNull {
 public:
  void get_actual_joints_speed(std::vector<double>& result) override { result = kSpeeds; }
};

void set_no_delay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A socket listening on 127.0.0.1 at a port the system picks.
int listen_loopback(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Accepts one connection, or -1 once stop is set.
int accept_until(int listen_fd, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    pollfd p{listen_fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      set_no_delay(fd);
      return fd;
    }
  }
  return -1;
}

// The wire bytes of one get_actual_joints_speed request and of its reply.
struct Exchange {
  std::string request;
  std::string reply;
};

Exchange wire_bytes() {
  Exchange e;
  {
    auto memory = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol protocol(memory);
    protocol.writeMessageBegin("get_actual_joints_speed", apache::thrift::protocol::T_CALL, 0);
    RPCRobot_get_actual_joints_speed_pargs args;
    args.write(&protocol);
    protocol.writeMessageEnd();
    e.request = memory->getBufferAsString();
  }
  {
    auto memory = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol protocol(memory);
    protocol.writeMessageBegin("get_actual_joints_speed", apache::thrift::protocol::T_REPLY, 0);
    RPCRobot_get_actual_joints_speed_result result;
    result.success = kSpeeds;
    result.__isset.success = true;
    result.write(&protocol);
    protocol.writeMessageEnd();
    e.reply = memory->getBufferAsString();
  }
  return e;
}

// The controller side: the generated processor on each accepted connection in turn.
class ThriftController {
 public:
  ThriftController() : listen_fd_(listen_loopback(port_)), thread_([this] { run(); }) {}
  ~ThriftController() {
    stop_.store(true);
    thread_.join();
    ::close(listen_fd_);
  }
  uint16_t port() const { return port_; }

 private:
  void run() {
    RPCRobotProcessor processor(std::make_shared<SpeedHandler>());
    for (;;) {
      const int fd = accept_until(listen_fd_, stop_);
      if (fd < 0) return;
      auto socket = std::make_shared<apache::thrift::transport::TSocket>(fd);
      auto transport = std::make_shared<TBufferedTransport>(socket);
      auto protocol = std::make_shared<TBinaryProtocol>(transport);
      try {
        while (processor.process(protocol, protocol, nullptr)) {
        }
      } catch (const apache::thrift::TException&) {
        // The client closed the connection.
      }
      socket->close();
    }
  }

  uint16_t port_ = 0;
  int listen_fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Two connected sockets; the far one answers every request-sized read with the reply bytes.
class PingPong {
 public:
  explicit PingPong(Exchange bytes) : bytes_(std::move(bytes)) {
    uint16_t port = 0;
    const int listen_fd = listen_loopback(port);
    client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (client_ < 0 || ::connect(client_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("cannot connect the ping-pong sockets");
    }
    set_no_delay(client_);
    std::atomic<bool> never{false};
    const int server = accept_until(listen_fd, never);
    ::close(listen_fd);
    thread_ = std::thread([this, server] {
      std::string request(bytes_.request.size(), '\0');
      while (read_all(server, request.data(), request.size()) &&
             write_all(server, bytes_.reply.data(), bytes_.reply.size())) {
      }
      ::close(server);
    });
  }
  ~PingPong() {
    ::shutdown(client_, SHUT_RDWR);
    thread_.join();
    ::close(client_);
  }

  bool round_trip(std::string& reply) {
    return write_all(client_, bytes_.request.data(), bytes_.request.size()) &&
           read_all(client_, reply.data(), reply.size());
  }

 private:
  Exchange bytes_;
  int client_ = -1;
  std::thread thread_;
};

void BM_SdkGetActualJointsSpeed(benchmark::State& state) {
  ThriftController controller;
  OvraRPC::OvraCobot robot("127.0.0.1", controller.port());
  if (robot.open() != 0) {
    state.SkipWithError("the SDK cannot connect");
    return;
  }
  std::vector<double> speeds;
  for (auto _ : state) {
    robot.get_actual_joints_speed(speeds);
    if (speeds.size() != kSpeeds.size()) {
      state.SkipWithError("the call failed");
      break;
    }
    benchmark::DoNotOptimize(speeds.data());
  }
  robot.close();
}

void BM_RawTcpPingPong(benchmark::State& state) {
  const Exchange bytes = wire_bytes();
  state.counters["request_bytes"] = static_cast<double>(bytes.request.size());
  state.counters["reply_bytes"] = static_cast<double>(bytes.reply.size());
  PingPong link(bytes);
  std::string reply(bytes.reply.size(), '\0');
  for (auto _ : state) {
    if (!link.round_trip(reply)) {
      state.SkipWithError("the ping-pong broke");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
  }
}

// Repeated, so that the ratio can be taken of medians: other load on the machine hits one
// repetition at a time.
BENCHMARK(BM_SdkGetActualJointsSpeed)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(9);
BENCHMARK(BM_RawTcpPingPong)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(9);

// The console table as usual, and each repetition's mean time per round trip kept for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      micros_[name.substr(0, name.find('/'))].push_back(run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median over the repetitions of the microseconds per round trip; 0 when it did not run.
  double micros(const std::string& name) const {
    const auto it = micros_.find(name);
    if (it == micros_.end() || it->second.empty()) return 0.0;
    std::vector<double> times = it->second;
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    return n % 2 == 1 ? times[n / 2] : 0.5 * (times[n / 2 - 1] + times[n / 2]);
  }

 private:
  std::map<std::string, std::vector<double>> micros_;
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the two interleaved, so that load that comes and goes hits both alike; a flag
  // on the command line still wins.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();
  argc = count;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const Exchange bytes = wire_bytes();
  const double sdk = reporter.micros("BM_SdkGetActualJointsSpeed");
  const double raw = reporter.micros("BM_RawTcpPingPong");
  std::printf("request %zu bytes, reply %zu bytes\n", bytes.request.size(), bytes.reply.size());
  std::printf("SDK get_actual_joints_speed round trip: %.2f us (median)\n", sdk);
  std::printf("raw TCP ping-pong of the same sizes:    %.2f us (median)\n", raw);
  if (sdk > 0.0 && raw > 0.0) std::printf("ratio SDK / raw: %.2f\n", sdk / raw);
  return 0;
}
