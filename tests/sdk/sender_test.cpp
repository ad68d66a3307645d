// The real-time data sender against a UDP socket on 127.0.0.1 port 2011, the controller's port.
// The sender is process-wide state, so these tests run in their own executable, one at a time.
#include <OvraCobot.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using OvraRPC::OvraCobot;
using OvraRPC::RealTimeData;

constexpr auto kDeadline = std::chrono::seconds(10);

std::atomic<int> callsA{0};
std::atomic<int> callsB{0};

RealTimeData countingUp() {
  callsA.fetch_add(1);
  RealTimeData r;
  for (int i = 0; i < 44; ++i) r.bytes[i] = static_cast<unsigned char>(i);
  return r;
}

RealTimeData countingDown() {
  callsB.fetch_add(1);
  RealTimeData r;
  for (int i = 0; i < 44; ++i) r.bytes[i] = static_cast<unsigned char>(200 - i);
  return r;
}

std::vector<unsigned char> datagramOf(RealTimeData (*make)()) {
  const RealTimeData r = make();
  std::vector<unsigned char> d(48);
  d[0] = d[1] = 0xFF;
  std::memcpy(d.data() + 2, r.bytes, sizeof r.bytes);
  d[46] = d[47] = 0xEE;
  return d;
}

// The controller's side: UDP on 127.0.0.1:2011.
class Receiver {
 public:
  Receiver() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(2011);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Receiver() { ::close(fd_); }
  bool bound() const { return bound_; }

  // The next datagram, or an empty one when none comes within the wait.
  std::vector<unsigned char> next(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    std::vector<unsigned char> buffer(2048);
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }
  void drain() {
    while (!next(std::chrono::milliseconds(0)).empty()) {
    }
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

// Whether the sender thread (named by the SDK) still exists in this process.
bool senderThreadExists() {
  DIR* dir = ::opendir("/proc/self/task");
  bool found = false;
  while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "ovra_rt_send") found = true;
  }
  if (dir) ::closedir(dir);
  return found;
}

bool senderThreadGoneWithin(std::chrono::seconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (senderThreadExists()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SdkSender : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(receiver.bound()) << "UDP port 2011 on 127.0.0.1 is taken";
    callsA = 0;
    callsB = 0;
  }
  void TearDown() override { cobot.end_realtime_thread(); }

  Receiver receiver;
  // Never connected: the sender needs no RPC, and end_realtime_mode sets its flag before the
  // (failing) request.
  OvraCobot cobot{"127.0.0.1", 1};
};

TEST_F(SdkSender, SendsMarkedRecordsAndASecondStartChangesNothing) {
  ASSERT_EQ(cobot.start_realtime_thread(countingUp), 0);
  const auto expected = datagramOf(countingUp);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(receiver.next(kDeadline), expected) << "datagram " << i;
  }

  EXPECT_EQ(cobot.start_realtime_thread(countingDown), 0);
  receiver.drain();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(receiver.next(kDeadline), expected) << "datagram " << i << " after the second start";
  }
  EXPECT_EQ(callsB.load(), 0) << "the first function stays in use";
}

TEST_F(SdkSender, EndRealtimeModeStopsFurtherDatagrams) {
  ASSERT_EQ(cobot.start_realtime_thread(countingUp), 0);
  ASSERT_FALSE(receiver.next(kDeadline).empty());

  EXPECT_EQ(cobot.end_realtime_mode(), -1);  // unconnected, but the loop ends all the same
  ASSERT_TRUE(senderThreadGoneWithin(kDeadline));
  const int calls = callsA.load();
  receiver.drain();
  EXPECT_TRUE(receiver.next(std::chrono::milliseconds(200)).empty());
  EXPECT_EQ(callsA.load(), calls);

  EXPECT_EQ(cobot.end_realtime_thread(), 0) << "the socket is closed by end_realtime_thread";
  EXPECT_EQ(cobot.end_realtime_thread(), -1) << "nothing left to close";
}

TEST_F(SdkSender, StartsAgainAfterOpenOrANewClientEndedIt) {
  ASSERT_EQ(cobot.start_realtime_thread(countingUp), 0);
  ASSERT_EQ(receiver.next(kDeadline), datagramOf(countingUp));

  EXPECT_EQ(cobot.open(), -1);  // nothing listens on port 1; the sender's loop ends anyway
  ASSERT_TRUE(senderThreadGoneWithin(kDeadline));
  ASSERT_EQ(cobot.start_realtime_thread(countingDown), 0);
  receiver.drain();
  // The first datagrams may still be the old sender's last ones in the queue.
  const auto expected = datagramOf(countingDown);
  bool seen = false;
  for (int i = 0; i < 50 && !seen; ++i) seen = receiver.next(kDeadline) == expected;
  EXPECT_TRUE(seen);

  OvraCobot another("127.0.0.1", 1);
  ASSERT_TRUE(senderThreadGoneWithin(kDeadline)) << "a new client ends the sender's loop";
  EXPECT_EQ(cobot.end_realtime_thread(), 0);
}

TEST_F(SdkSender, EndWithoutAStartedSenderTouchesNothing) {
  const bool stdinOpen = ::fcntl(0, F_GETFD) != -1;
  EXPECT_EQ(cobot.end_realtime_thread(), -1);
  EXPECT_EQ(::fcntl(0, F_GETFD) != -1, stdinOpen) << "descriptor 0 must not be closed";
}

TEST_F(SdkSender, NullCallbackStartsNothing) {
  EXPECT_EQ(cobot.start_realtime_thread(nullptr), -1);
  EXPECT_FALSE(senderThreadExists());
  ASSERT_EQ(cobot.start_realtime_thread(countingUp), 0) << "a refused start leaves none running";
  EXPECT_FALSE(receiver.next(kDeadline).empty());
}

RealTimeData throwing() { throw std::runtime_error("no record"); }

TEST_F(SdkSender, AFunctionThatThrowsEndsOnlyTheSender) {
  ASSERT_EQ(cobot.start_realtime_thread(throwing), 0);
  ASSERT_TRUE(senderThreadGoneWithin(kDeadline));
  EXPECT_TRUE(receiver.next(std::chrono::milliseconds(200)).empty());
  ASSERT_EQ(cobot.start_realtime_thread(countingUp), 0) << "the ended sender is not reported";
  EXPECT_EQ(receiver.next(kDeadline), datagramOf(countingUp));
}

TEST_F(SdkSender, AnAddressThatIsNotDottedIPv4SendsNothing) {
  OvraCobot named("localhost", 1);
  ASSERT_EQ(named.start_realtime_thread(countingUp), 0);
  ASSERT_TRUE(senderThreadGoneWithin(kDeadline));
  EXPECT_EQ(callsA.load(), 0);
  EXPECT_EQ(named.end_realtime_thread(), -1) << "no socket was made";
}

// In a child process: takes away the right to real-time scheduling, starts the sender and exits
// with 0 when its datagram arrives.
[[noreturn]] void sendWithoutRealTimeRight() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2]{};
  ::syscall(SYS_capget, &header, caps);
  caps[CAP_TO_INDEX(CAP_SYS_NICE)].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
  ::syscall(SYS_capset, &header, caps);
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_RTPRIO, &none);

  Receiver receiver;
  OvraCobot cobot("127.0.0.1", 1);
  const bool started = cobot.start_realtime_thread(countingUp) == 0;
  const bool sent = receiver.next(kDeadline) == datagramOf(countingUp);
  cobot.end_realtime_thread();
  std::_Exit(receiver.bound() && started && sent ? 0 : 1);
}

// The sender must still run, with one line on standard error.
TEST(SdkSenderScheduling, FallsBackToDefaultSchedulingWithoutTheRight) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(sendWithoutRealTimeRight(), ::testing::ExitedWithCode(0),
              "real-time sender without SCHED_FIFO");
}

}  // namespace
