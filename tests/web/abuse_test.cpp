// The web side under abuse: the whole program as a process on a free port, with no controller
// behind it. A client that never reads its replies, a flood of connections past the descriptor
// limit, idle connections past the connection cap, and messages too deep or too large. Each case
// checks what the operator would notice: resident memory, CPU time, what was printed, and whether
// another client is still answered.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "WebServer.h"
#include "WsClient.h"
#include "free_port.h"
#include "process.h"
#include "raw_connection.h"
#include "web_test_util.h"

namespace {

using vb::WebServer;
using vb::test::Process;
using vb::test::RawConnection;
using vb::test::Seconds;
using vb::tools::WsClient;
using Clock = std::chrono::steady_clock;

constexpr long kMemoryBoundKb = 64 * 1024;
// Under the sanitizers the resident size says little (shadow memory, and freed blocks held back
// on purpose), so only the other checks are made there.
#ifdef VB_SANITIZED
constexpr bool kMemoryFigures = false;
#else
constexpr bool kMemoryFigures = true;
#endif
const char* const kMalformed = "on_message recv a error format message\n\n";

int free_port() { return vb::test::freePortIn(12000, 19999); }

// The program on a free web port, the controller port leading nowhere; `nofile` ("soft:hard")
// starts it under that descriptor limit, `root` serves another UI folder than the fixture.
std::unique_ptr<Process> start_program(int* web_port, const std::string& nofile = "",
                                       const std::string& root = vb::webtest::fixture_root()) {
  *web_port = free_port();
  std::vector<std::string> argv = {VB_PROGRAM, root};
  if (!nofile.empty()) argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nofile=" + nofile});
  auto program = std::make_unique<Process>(
      "vibration_test", argv,
      std::map<std::string, std::string>{{"VB_WEB_PORT", std::to_string(*web_port)},
                                         {"VB_CONTROLLER_PORT", std::to_string(free_port())}});
  EXPECT_TRUE(
      program->waitFor("webserver start listen:" + std::to_string(*web_port) + "\n", Seconds(30)));
  return program;
}

// Connects once the program answers: its listen line comes just before the web thread listens.
bool connect_client(WsClient& client, int port) {
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (!vb::webtest::http_request(static_cast<unsigned short>(port), "GET", "/") &&
         Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string error;
  if (client.connect("127.0.0.1", port, 10, &error)) return true;
  ADD_FAILURE() << "no websocket connection: " << error;
  return false;
}

bool is_update_reply(const std::string& reply, unsigned id) {
  return reply.rfind("{\"id\":" + std::to_string(id) + ",\"task\":\"update\",\"test_state\":", 0) ==
         0;
}

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when absent.
long status_kb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// A /proc status figure of the program below `bound` kB, where such figures mean something.
void expect_memory_below(pid_t pid, const std::string& field, long bound) {
  if (!kMemoryFigures) return;
  EXPECT_LT(status_kb(pid, field), bound) << field;
}

// User plus system CPU time of the process so far.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The fields after the command name, which may hold blanks, start after its ")".
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i >= 14) ticks += std::atol(field.c_str());
  }
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The i-th of the loopback addresses that stand for other clients (127.0.0.10 up).
std::string client_address(int i) { return "127.0.0." + std::to_string(10 + i); }
// Where the operator sits while the others flood: a loopback address none of them uses.
const char* const kOperatorAddress = "127.0.0.2";

// An "update" over a fresh websocket from `from`: whether its reply came.
bool update_from(int port, const std::string& from, unsigned id) {
  RawConnection c(port, from);
  if (!c.send(vb::test::websocketUpgrade(port)) ||
      c.read(Seconds(10), "\r\n\r\n").find(" 101 ") == std::string::npos ||
      !c.send(
          vb::test::shortTextFrame("{\"task\":\"update\",\"id\":" + std::to_string(id) + "}"))) {
    return false;
  }
  const std::string head = "{\"id\":" + std::to_string(id) + ",\"task\":\"update\",\"test_state\":";
  return c.read(Seconds(10), head).find(head) != std::string::npos;
}

// GET / over a fresh connection from `from`: the status line, empty when none came.
std::string status_of_page_from(int port, const std::string& from) {
  RawConnection c(port, from);
  if (!c.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")) return "";
  const std::string reply = c.read(Seconds(10));
  return reply.substr(0, reply.find("\r\n"));
}

// A temporary UI folder with an index page and `big_bytes` of other bytes as big.bin, removed
// with everything in it when the handle goes.
struct LargeFileRoot {
  explicit LargeFileRoot(std::size_t big_bytes) {
    char pattern[] = "/tmp/vb_web_abuse_XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    path = pattern;
    std::filesystem::create_directories(path + "/run/dist");
    std::ofstream(path + "/run/dist/index.html") << "<html>ui</html>";
    big.resize(big_bytes);
    unsigned x = 12345;
    for (char& c : big) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    std::ofstream(path + "/run/dist/big.bin", std::ios::binary) << big;
  }
  ~LargeFileRoot() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
  std::string big;
};

// The program serving `root`, once it answers; nothing when it does not.
std::unique_ptr<Process> serve(const LargeFileRoot& root, int* port) {
  if (root.path.empty()) return nullptr;
  auto program = start_program(port, "", root.path);
  if (!vb::webtest::first_answer(static_cast<unsigned short>(*port), "/")) return nullptr;
  return program;
}

std::string get_request(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

// Whether the server closes the connection within `timeout`, sending nothing first.
bool closed_within(RawConnection& c, Seconds timeout) {
  return c.read(timeout).empty() && c.closed();
}

// Polls "update" on its own connection until stopped; the slowest answer it saw.
class UpdatePoller {
 public:
  explicit UpdatePoller(WsClient& client) : client_(client) {
    thread_ = std::thread([this] { run(); });
  }
  ~UpdatePoller() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  double slowest() const { return slowest_; }
  int answered() const { return answered_; }
  int unanswered() const { return unanswered_; }

 private:
  void run() {
    // At least one request, however soon it is stopped.
    for (unsigned id = 1; id == 1 || !stop_; ++id) {
      const auto start = Clock::now();
      std::string reply;
      if (client_.request("{\"task\":\"update\",\"id\":" + std::to_string(id) + "}", &reply, 10) &&
          is_update_reply(reply, id)) {
        ++answered_;
      } else {
        ++unanswered_;
      }
      slowest_ = std::max(slowest_, Seconds(Clock::now() - start).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  WsClient& client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  double slowest_ = 0;
  int answered_ = 0;
  int unanswered_ = 0;
};

// A wait for one update that an operator would take for a stalled program. Not a speed target
// (the load benchmark measures latency): sanitizer builds on a loaded machine took 2.4 s.
constexpr double kStalledS = 5.0;

// Sends commands on a new websocket connection, never reading, until the program closes it or
// `batches` of a thousand went out; the batches sent.
int flood_unread(int port, int batches) {
  RawConnection flooder(port);
  if (!flooder.send(vb::test::websocketUpgrade(port)) ||
      flooder.read(Seconds(10), "\r\n\r\n").find(" 101 ") == std::string::npos) {
    ADD_FAILURE() << "no websocket upgrade";
    return 0;
  }
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += vb::test::shortTextFrame(R"({"task":"update"})");
  int sent = 0;
  while (sent < batches && flooder.send(batch)) ++sent;
  return sent;
}

TEST(WebAbuse, ClientThatNeverReadsIsClosedAndMemoryStaysBounded) {
  int port = 0;
  auto program = start_program(&port);
  WsClient operator_client;
  ASSERT_TRUE(connect_client(operator_client, port));
  const long rss_before = status_kb(program->pid(), "VmRSS");

  // 300,000 commands (7 MB); their replies would be about 200 MB.
  int batches_sent = 0;
  {
    UpdatePoller poller(operator_client);
    batches_sent = flood_unread(port, 300);
    poller.stop();
    EXPECT_GT(poller.answered(), 0);
    EXPECT_EQ(poller.unanswered(), 0);
    EXPECT_LT(poller.slowest(), kStalledS) << "the other client waited this long (s) for an update";
  }
  EXPECT_LT(batches_sent, 300) << "the server never closed the client that does not read";
  expect_memory_below(program->pid(), "VmHWM", kMemoryBoundKb);
  EXPECT_TRUE(program->waitFor("closing a connection that does not read its replies", Seconds(10)));
  EXPECT_EQ(program->countOf("closing a connection that does not read its replies"), 1);

  // What it held is given back once it is gone.
  std::string reply;
  ASSERT_TRUE(operator_client.request(R"({"task":"update","id":7})", &reply, 10));
  EXPECT_TRUE(is_update_reply(reply, 7)) << reply;
  expect_memory_below(program->pid(), "VmRSS", rss_before + 16 * 1024);
}

TEST(WebAbuse, MemoryOfClosedConnectionsIsGivenBack) {
  int port = 0;
  auto program = start_program(&port);
  WsClient operator_client;
  ASSERT_TRUE(connect_client(operator_client, port));
  const long before = status_kb(program->pid(), "VmRSS");
  // Many clients that do not read, at once and one after the other.
  std::vector<std::thread> flooders;
  for (int i = 0; i < 16; ++i) {
    flooders.emplace_back([port] {
      for (int round = 0; round < 4; ++round) EXPECT_LT(flood_unread(port, 300), 300);
    });
  }
  for (std::thread& t : flooders) t.join();
  if (kMemoryFigures) {
    const long peak = status_kb(program->pid(), "VmHWM");
    EXPECT_LT(peak, kMemoryBoundKb);
    // At least half of what they took comes back.
    long after = status_kb(program->pid(), "VmRSS");
    for (int i = 0; i < 50 && after > before + (peak - before) / 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      after = status_kb(program->pid(), "VmRSS");
    }
    EXPECT_LE(after, before + (peak - before) / 2)
        << "resident kB before " << before << ", at the most " << peak;
  }
  std::string reply;
  ASSERT_TRUE(operator_client.request(R"({"task":"update","id":8})", &reply, 10));
  EXPECT_TRUE(is_update_reply(reply, 8)) << reply;
}

TEST(WebAbuse, DescriptorExhaustionNeitherSpinsNorFloodsTheOutput) {
  int port = 0;
  auto program = start_program(&port, "64:64");
  {
    WsClient first;
    ASSERT_TRUE(connect_client(first, port));
  }
  const std::size_t printed_before = program->output().size();
  const double cpu_before = cpu_seconds(program->pid());
  const auto flood_start = Clock::now();

  // Idle connections, three times what the program may hold; the kernel queues the rest. From
  // several addresses, so that no one address reaches its own bound first.
  std::vector<std::unique_ptr<RawConnection>> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(std::make_unique<RawConnection>(port, client_address(i % 10)));
    ASSERT_TRUE(flood.back()->ok()) << "connection " << i;
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double flood_wall = Seconds(Clock::now() - flood_start).count();
  const double flood_cpu = cpu_seconds(program->pid()) - cpu_before;
  EXPECT_LT(flood_cpu, 0.5 * flood_wall) << "CPU seconds used while out of descriptors";
  EXPECT_TRUE(program->waitFor("web server: accept failed", Seconds(5)));
  flood.clear();

  // Served again once the flood is gone.
  WsClient client;
  ASSERT_TRUE(connect_client(client, port));
  std::string reply;
  ASSERT_TRUE(client.request(R"({"task":"update","id":3})", &reply, 10));
  EXPECT_TRUE(is_update_reply(reply, 3)) << reply;
  const auto page = vb::webtest::http_request(static_cast<unsigned short>(port), "GET", "/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);

  // At most a line or two for each connection of the flood, and one for the lack of descriptors.
  EXPECT_LT(program->output().size() - printed_before, 200u * 300u);
  EXPECT_EQ(program->countOf("web server: accept failed"), 1);
}

TEST(WebAbuse, RaisesItsDescriptorLimitToTheHardLimit) {
  int port = 0;
  auto program = start_program(&port, "256:2048");
  std::ifstream limits("/proc/" + std::to_string(program->pid()) + "/limits");
  std::string line;
  std::string open_files;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) == 0) open_files = line;
  }
  std::istringstream fields(open_files.substr(std::string("Max open files").size()));
  std::string soft, hard;
  fields >> soft >> hard;
  EXPECT_EQ(soft, "2048") << open_files;
  EXPECT_EQ(hard, "2048") << open_files;
}

// Open websockets that send nothing more hold their place; at the cap a new one is closed, as
// is one past its address's share. A connection without a whole request is closed in bounded
// time.
TEST(WebAbuse, OpenConnectionsAreCappedUnfinishedOnesTimedOut) {
  int port = 0;
  auto program = start_program(&port);
  {
    WsClient first;
    ASSERT_TRUE(connect_client(first, port));
  }
  const int addresses = WebServer::kMaxConnections / WebServer::kMaxConnectionsPerAddress;
  std::vector<std::unique_ptr<RawConnection>> open;
  for (int i = 0; i < WebServer::kMaxConnections; ++i) {
    open.push_back(std::make_unique<RawConnection>(port, client_address(i % addresses)));
    ASSERT_TRUE(open.back()->send(vb::test::websocketUpgrade(port))) << "connection " << i;
    ASSERT_NE(open.back()->read(Seconds(10), "\r\n\r\n").find(" 101 "), std::string::npos)
        << "connection " << i;
  }
  {
    RawConnection beyond(port, kOperatorAddress);
    ASSERT_TRUE(beyond.ok());
    EXPECT_TRUE(closed_within(beyond, Seconds(5))) << "a connection beyond the cap was kept";
    EXPECT_TRUE(program->waitFor("connections open, closing new ones", Seconds(5)));
  }
  open.pop_back();  // room for one, but not from an address that holds its share
  {
    RawConnection beyond(port, client_address(0));
    ASSERT_TRUE(beyond.ok());
    EXPECT_TRUE(closed_within(beyond, Seconds(5))) << "an address held more than its share";
    EXPECT_TRUE(
        program->waitFor("connections from 127.0.0.10, closing new ones from it", Seconds(5)));
  }
  EXPECT_TRUE(open.front()->send(vb::test::shortTextFrame(R"({"task":"update","id":2})")));
  EXPECT_NE(open.front()->read(Seconds(10), R"({"id":2,"task":"update")").find(R"({"id":2,)"),
            std::string::npos)
      << "an open websocket was closed";
  open.clear();

  // Neither handshake nor request, and half a request: each is closed in bounded time.
  RawConnection silent(port);
  RawConnection half(port);
  ASSERT_TRUE(half.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  const Seconds bound(WebServer::kRequestTimeoutMs / 1000.0 + 10);
  EXPECT_TRUE(closed_within(silent, bound)) << "an idle connection was kept";
  EXPECT_TRUE(closed_within(half, Seconds(5))) << "an unfinished request was kept";
  WsClient client;
  ASSERT_TRUE(connect_client(client, port));
  std::string reply;
  ASSERT_TRUE(client.request(R"({"task":"update","id":4})", &reply, 10));
  EXPECT_TRUE(is_update_reply(reply, 4)) << reply;
}

// Connections that never finish their request, more than the cap, from one address or spread
// over ten; the operator, at another address, is still answered.
TEST(WebAbuse, UnfinishedRequestsLockNoOneOut) {
  const struct {
    const char* name;
    int addresses;
    const char* line;
  } cases[] = {
      {"300 from one address", 1, "connections from 127.0.0.10, closing new ones from it"},
      {"300 from ten addresses", 10, "closing the one waiting longest for its request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int port = 0;
    auto program = start_program(&port);
    ASSERT_TRUE(vb::webtest::first_answer(static_cast<unsigned short>(port), "/"));
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (int i = 0; i < 300; ++i) {
      flood.push_back(std::make_unique<RawConnection>(port, client_address(i % c.addresses)));
      ASSERT_TRUE(flood.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")) << i;
    }
    // Accepted after all of those, since the kernel queues connections in order.
    EXPECT_TRUE(update_from(port, kOperatorAddress, 5)) << "no update reply";
    EXPECT_EQ(status_of_page_from(port, kOperatorAddress), "HTTP/1.1 200 OK");
    EXPECT_TRUE(program->waitFor(c.line, Seconds(5)));
    // Who made room: the first of the flood, which has waited longest.
    if (c.addresses > 1) {
      EXPECT_TRUE(closed_within(*flood.front(), Seconds(5)));
    }
  }
}

// A file of several MiB read at about 240 kB/s, longer than a request may take to arrive.
TEST(WebAbuse, SlowReaderGetsALargeFileWhole) {
  LargeFileRoot root(6 << 20);
  int port = 0;
  auto program = serve(root, &port);
  ASSERT_TRUE(program);
  // A small receive buffer, so that the file waits in the program, not in this socket.
  RawConnection reader(port, "", 16 * 1024);
  ASSERT_TRUE(reader.send(get_request("/big.bin")));
  const auto start = Clock::now();
  const auto until = start + std::chrono::seconds(60);
  while (!reader.closed() && Clock::now() < until) {
    reader.readSome(12 * 1024, Seconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double took = Seconds(Clock::now() - start).count();
  const std::string& reply = reader.received();
  const std::size_t head_end = reply.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 ", 0), 0u) << reply.substr(0, head_end);
  EXPECT_EQ(reply.size() - head_end - 4, root.big.size()) << "after " << took << " s";
  EXPECT_TRUE(reply.compare(head_end + 4, std::string::npos, root.big) == 0);
  EXPECT_GT(took, WebServer::kRequestTimeoutMs / 1000.0) << "the reader was not slow";
}

// Many clients ask for a large file and do not read it: the program holds no more for them
// together than its bound, and still serves the operator.
TEST(WebAbuse, ManySlowReadersTogetherAreBounded) {
  LargeFileRoot root(4 << 20);
  int port = 0;
  auto program = serve(root, &port);
  ASSERT_TRUE(program);
  const long baseline = status_kb(program->pid(), "VmHWM");
  // 30 answers of 4 MiB each, held twice while written, would be 240 MiB.
  std::vector<std::unique_ptr<RawConnection>> readers;
  for (int i = 0; i < 30; ++i) {
    readers.push_back(std::make_unique<RawConnection>(port, client_address(i % 3), 16 * 1024));
    ASSERT_TRUE(readers.back()->send(get_request("/big.bin"))) << i;
  }
  EXPECT_TRUE(program->waitFor("replies held for all connections over", Seconds(20)));
  EXPECT_EQ(status_of_page_from(port, kOperatorAddress), "HTTP/1.1 200 OK");
  expect_memory_below(program->pid(), "VmHWM",
                      baseline + static_cast<long>(WebServer::kMaxQueuedBytes / 1024) + 32 * 1024);
  // Those still held get their file on reading.
  int whole = 0;
  for (auto& r : readers) {
    const std::string reply = r->read(Seconds(20));
    const std::size_t head_end = reply.find("\r\n\r\n");
    if (head_end != std::string::npos && reply.size() - head_end - 4 == root.big.size()) ++whole;
  }
  EXPECT_GT(whole, 0);
  EXPECT_LT(whole, 30);
}

// {"task":"update","id":ID,"x":V} with V nested `depth` - 1 arrays deep: `depth` in all.
std::string nested_update(unsigned id, int depth) {
  return "{\"task\":\"update\",\"id\":" + std::to_string(id) +
         ",\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

TEST(WebAbuse, DeepAndLargeMessagesAreRefused) {
  int port = 0;
  auto program = start_program(&port);
  WsClient client;
  ASSERT_TRUE(connect_client(client, port));

  const struct {
    const char* name;
    std::string payload;
    bool answered;
  } cases[] = {
      {"nested 32 deep", nested_update(1, WebServer::kMaxJsonDepth), true},
      {"nested 33 deep", nested_update(2, WebServer::kMaxJsonDepth + 1), false},
      {"60,000 unclosed [", "{\"task\":\"update\",\"x\":" + std::string(60000, '['), false},
      {"nested 30,000 deep and closed", nested_update(3, 30000), false},
  };
  int refused = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reply;
    ASSERT_TRUE(client.send(c.payload));
    if (c.answered) {
      ASSERT_TRUE(client.next(&reply, 10));
      EXPECT_TRUE(is_update_reply(reply, 1)) << reply.substr(0, 80);
    } else {
      ++refused;
      EXPECT_FALSE(client.next(&reply, 0.5)) << reply.substr(0, 80);
      EXPECT_TRUE(program->waitFor(kMalformed, Seconds(10), refused));
    }
    // The connection goes on.
    ASSERT_TRUE(client.request(R"({"task":"update","id":9})", &reply, 10));
    EXPECT_TRUE(is_update_reply(reply, 9)) << reply.substr(0, 80);
  }
  EXPECT_EQ(program->countOf(kMalformed), refused);

  {
    SCOPED_TRACE("8 MB of [ in one message");
    UpdatePoller poller(client);
    WsClient big;
    ASSERT_TRUE(connect_client(big, port));
    ASSERT_TRUE(big.send("{\"task\":\"update\",\"x\":" + std::string(8 << 20, '[')));
    std::string reply;
    EXPECT_FALSE(big.next(&reply, 10)) << reply.substr(0, 80);
    EXPECT_FALSE(big.isOpen()) << "a message over the limit left its connection open";
    poller.stop();
    EXPECT_EQ(poller.unanswered(), 0);
    EXPECT_LT(poller.slowest(), kStalledS) << "the other client waited this long (s) for an update";
  }
  {
    SCOPED_TRACE("an HTTP request announcing a 100 kB body");
    RawConnection raw(port);
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n"));
    const std::string response = raw.read(Seconds(10));
    EXPECT_EQ(response.rfind("HTTP/1.1 413 ", 0), 0u) << response.substr(0, 80);
  }
  expect_memory_below(program->pid(), "VmHWM", kMemoryBoundKb);
}

}  // namespace
