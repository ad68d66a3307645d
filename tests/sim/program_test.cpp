// The robot_sim program as a process: options, listening, faults from the command line, SIGTERM.
#include <RPCRobot.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace {

// A child process with its stdout on a pipe.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    args.insert(args.begin(), ROBOT_SIM_PATH);
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, ROBOT_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // The next line of output, or "" when none comes within the deadline.
  std::string line(std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char chunk[512];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  std::string rest() {
    std::string all;
    for (std::string l = line(); !l.empty() || !buffer_.empty(); l = line()) all += l + "\n";
    return all;
  }
  // Exit status after SIGTERM (or on its own when signal is 0).
  int finish(int signal) {
    if (signal != 0) kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

int listeningPort(const std::string& line) {
  const std::string prefix = "robot_sim: listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) return -1;
  return std::stoi(line.substr(prefix.size()));
}

struct Client {
  explicit Client(int port)
      : socket(std::make_shared<apache::thrift::transport::TSocket>("127.0.0.1", port)),
        transport(std::make_shared<apache::thrift::transport::TBufferedTransport>(socket)),
        rpc(std::make_shared<apache::thrift::protocol::TBinaryProtocol>(transport)) {
    socket->setRecvTimeout(10000);
    transport->open();
  }
  std::shared_ptr<apache::thrift::transport::TSocket> socket;
  std::shared_ptr<apache::thrift::transport::TBufferedTransport> transport;
  RPCRobotClient rpc;
};

TEST(RobotSimProgram, HelpListsEveryOption) {
  Child c({"--help"});
  const std::string text = c.rest();
  EXPECT_EQ(c.finish(0), 0);
  for (const char* option :
       {"--port", "--seed", "--noise", "--truth", "--robot-state-at", "--fail-task",
        "--tasks-never-finish", "--servo-task-queries", "--reply-delay-ms", "--drop-connections-at",
        "--throw-on", "--motor-data-length", "--pause-motion-at"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
}

TEST(RobotSimProgram, RefusesUnknownOptionsAndBadValues) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--frobnicate"},
                                        {"--port", "x"},
                                        {"--port", "70000"},
                                        {"--fail-task", "9:motion:1"},
                                        {"--fail-task", "0:walk:1"},
                                        {"--robot-state-at", "1"},
                                        {"--pause-motion-at", "1"},
                                        {"--pause-motion-at", "1:0"},
                                        {"--port"}}) {
    Child c(args);
    EXPECT_EQ(c.finish(0), 2) << args[0];
  }
}

TEST(RobotSimProgram, PrintsTheGroundTruth) {
  Child c({"--truth"});
  const std::string text = c.rest();
  EXPECT_EQ(c.finish(0), 0);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);
}

TEST(RobotSimProgram, ServesWithCommandLineFaultsAndStopsOnSigterm) {
  Child c({"--port", "0", "--robot-state-at", "0.008:4,0", "--motor-data-length", "3", "--throw-on",
           "get_axis_ratio:1", "--fail-task", "0:servo:1", "--pause-motion-at", "0:1"});
  const int port = listeningPort(c.line());
  ASSERT_GT(port, 0);
  {
    Client client(port);
    std::vector<int8_t> state;
    client.rpc.get_robot_state(state);
    EXPECT_EQ(state, (std::vector<int8_t>{6, 0, 5, 1}));
    client.rpc.get_robot_state(state);
    EXPECT_EQ(state, (std::vector<int8_t>{4, 0}));
    std::vector<int16_t> ratios;
    EXPECT_THROW(client.rpc.get_axis_ratio(ratios), apache::thrift::TApplicationException);
    client.rpc.get_axis_ratio(ratios);
    EXPECT_EQ(ratios.size(), 3u);
    EXPECT_EQ(client.rpc.get_noneblock_taskstate(client.rpc.set_servo_config(0, 43, 1, 0, false)),
              6);
    EXPECT_EQ(client.rpc.get_noneblock_taskstate(client.rpc.set_servo_config(0, 43, 1, 0, false)),
              4);
    std::vector<double> target(6, 0.0);
    target[1] = 0.1;
    const int32_t move = client.rpc.movej2(target, 0.01, 0.2, 0.0, false, Op());
    EXPECT_EQ(client.rpc.get_noneblock_taskstate(move), 2);  // paused
  }
  EXPECT_EQ(c.finish(SIGTERM), 0);
  EXPECT_EQ(c.rest(), "robot_sim: stopping at sim time 0.008 s\n");
}

}  // namespace
