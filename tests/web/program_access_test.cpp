// What the program lets in, tried against the program as a process on free ports: files only
// from inside its UI folder, websocket upgrades only from the operator's own pages (or the ones
// listed in VB_WEB_ORIGINS), and a command line that takes an option for no root folder.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"
#include "process.h"
#include "web_test_util.h"

namespace {

namespace fs = std::filesystem;
using vb::test::Process;
using vb::test::Seconds;

constexpr auto kDeadline = std::chrono::seconds(60);

int free_port() { return vb::test::freePortIn(12000, 19999); }

// The program serving `root` on `web_port`. Its controller port is `controller_port`, or a
// free one nothing listens on, so that its robot client fails at once.
std::unique_ptr<Process> start_program(const std::string& root, int web_port,
                                       std::map<std::string, std::string> env = {},
                                       int controller_port = 0) {
  env["VB_WEB_PORT"] = std::to_string(web_port);
  env["VB_CONTROLLER_PORT"] = std::to_string(controller_port ? controller_port : free_port());
  return std::make_unique<Process>("vibration_test", std::vector<std::string>{VB_PROGRAM, root},
                                   env);
}

// A temporary folder, removed with everything in it when the handle goes.
struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/vb_web_access_XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
  fs::path path;
};

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(ProgramFiles, LinksOutOfTheUiFolderAreNotFollowed) {
  TempDir root;
  ASSERT_FALSE(root.path.empty());
  TempDir outside;  // somewhere else on the machine
  ASSERT_FALSE(outside.path.empty());
  const fs::path dist = root.path / "run/dist";
  write_file(dist / "index.html", "<html>ui</html>");
  write_file(dist / "img/logo.svg", "<svg/>");
  write_file(root.path / "run/secret.txt", "beside the folder");
  write_file(outside.path / "secret.txt", "elsewhere");
  fs::create_directory_symlink("/etc", dist / "etcdir");
  fs::create_directory_symlink(outside.path, dist / "outdir");
  fs::create_symlink(outside.path / "secret.txt", dist / "outfile.txt");
  fs::create_symlink("../secret.txt", dist / "up.txt");
  fs::create_symlink("img/logo.svg", dist / "alias.svg");
  fs::create_directory_symlink("img", dist / "pictures");
  fs::create_symlink(dist / "img/logo.svg", dist / "absolute.svg");

  const int port = free_port();
  auto program = start_program(root.path.string(), port);
  ASSERT_TRUE(program->waitFor("webserver start listen:" + std::to_string(port) + "\n", kDeadline));
  ASSERT_TRUE(vb::webtest::first_answer(static_cast<unsigned short>(port), "/"));

  struct Row {
    const char* target;
    int status;
    const char* body;
  };
  const Row rows[] = {
      {"/", 200, "<html>ui</html>"},
      {"/alias.svg", 200, "<svg/>"},
      {"/pictures/logo.svg", 200, "<svg/>"},
      {"/absolute.svg", 200, "<svg/>"},
      {"/etcdir/passwd", 404, "not found\n"},
      {"/etcdir/hostname", 404, "not found\n"},
      {"/outdir/secret.txt", 404, "not found\n"},
      {"/outfile.txt", 404, "not found\n"},
      {"/up.txt", 404, "not found\n"},
  };
  for (const Row& r : rows) {
    const auto reply =
        vb::webtest::http_request(static_cast<unsigned short>(port), "GET", r.target);
    ASSERT_TRUE(reply) << r.target;
    EXPECT_EQ(reply->status, r.status) << r.target;
    EXPECT_EQ(reply->body, r.body) << r.target;
  }
  EXPECT_EQ(vb::webtest::http_request(static_cast<unsigned short>(port), "GET", "/alias.svg")
                ->headers["content-type"],
            "image/svg+xml");
}

std::string own_host_name() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// The fully qualified name the resolver gives for the host name (the host name itself when it
// gives none).
std::string own_canonical_name() {
  const std::string host = own_host_name();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  std::string canonical = host;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
    if (found->ai_canonname != nullptr) canonical = found->ai_canonname;
    ::freeaddrinfo(found);
  }
  return canonical;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Upgrades with each Origin and Host, against a program with one listed origin and against one
// that lists "*".
TEST(ProgramOrigins, OperatorsOwnPagesAreLetInAndForeignOnesRefused) {
  const int port = free_port();
  const int open_port = free_port();
  auto program = start_program(vb::webtest::fixture_root(), port,
                               {{"VB_WEB_ORIGINS", "http://ui.example:8080"}});
  auto open = start_program(vb::webtest::fixture_root(), open_port, {{"VB_WEB_ORIGINS", "*"}});
  ASSERT_TRUE(program->waitFor("webserver start listen:" + std::to_string(port) + "\n", kDeadline));
  ASSERT_TRUE(
      open->waitFor("webserver start listen:" + std::to_string(open_port) + "\n", kDeadline));
  ASSERT_TRUE(vb::webtest::first_answer(static_cast<unsigned short>(port), "/"));
  ASSERT_TRUE(vb::webtest::first_answer(static_cast<unsigned short>(open_port), "/"));

  const std::string p = ":" + std::to_string(port);
  const std::string own = own_host_name();
  ASSERT_FALSE(own.empty());
  const std::string mdns = own.substr(0, own.find('.')) + ".local";
  const std::string fqdn = own_canonical_name();
  struct Row {
    std::string origin;
    std::string host;
    int status;
  };
  const Row rows[] = {
      {"", "127.0.0.1" + p, 101},  // no Origin: a non-browser client
      {"http://127.0.0.1" + p, "127.0.0.1" + p, 101},
      // the same machine under the same name, a UI served on another port
      {"http://127.0.0.1:8000", "127.0.0.1" + p, 101},
      {"http://192.168.7.20:8080", "192.168.7.20" + p, 101},
      {"http://[fd00::20]:8080", "[fd00::20]" + p, 101},
      {"http://localhost:3000", "localhost" + p, 101},
      {"http://" + own + ":3000", own + p, 101},
      // the machine's mDNS and fully qualified names, any case, with or without the final dot
      {"http://" + mdns + p, mdns + p, 101},
      {"http://" + upper(mdns) + ".:3000", mdns + "." + p, 101},
      {"http://" + fqdn + p, fqdn + p, 101},
      {"http://" + fqdn + ".", upper(fqdn) + p, 101},
      // loopback to loopback, whatever the spelling
      {"http://localhost" + p, "127.0.0.1" + p, 101},
      {"http://127.0.0.1" + p, "localhost" + p, 101},
      {"http://[::1]" + p, "127.0.0.1" + p, 101},
      {"http://127.0.1.1:8080", "[::1]" + p, 101},
      // listed
      {"http://ui.example:8080", "127.0.0.1" + p, 101},
      {"http://ui.example:8081", "127.0.0.1" + p, 403},
      // DNS rebinding: the attacker's name on both sides
      {"http://evil.example" + p, "evil.example" + p, 403},
      {"http://" + own + ".evil.example", own + ".evil.example" + p, 403},
      {"http://" + mdns + ".evil.example", mdns + ".evil.example" + p, 403},
      // foreign pages
      {"http://evil.example", "127.0.0.1" + p, 403},
      {"http://127.0.0.1.evil.example", "127.0.0.1" + p, 403},
      {"http://192.168.7.21" + p, "192.168.7.20" + p, 403},
      {"http://192.168.7.20" + p, "127.0.0.1" + p, 403},
      {"null", "127.0.0.1" + p, 403},
      {"file://", "127.0.0.1" + p, 403},
  };
  int refused = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE("Origin " + r.origin + ", Host " + r.host);
    EXPECT_EQ(
        vb::webtest::websocket_upgrade_status(static_cast<unsigned short>(port), r.origin, r.host),
        r.status);
    EXPECT_EQ(vb::webtest::websocket_upgrade_status(static_cast<unsigned short>(open_port),
                                                    r.origin, r.host),
              101);
    if (r.status == 403) ++refused;
  }
  // One line for each refusal, none from the program that lets every origin in.
  EXPECT_TRUE(program->waitFor("websocket refused: origin", Seconds(10), refused));
  EXPECT_EQ(program->countOf("websocket refused: origin"), refused);
  EXPECT_EQ(open->countOf("websocket refused"), 0);
}

// A TCP listener on a free port that accepts nothing: whether anyone connected.
class Listener {
 public:
  Listener() {
    for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
      const int port = free_port();
      fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(port));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          ::listen(fd_, 8) == 0) {
        port_ = port;
      } else {
        ::close(fd_);
        fd_ = -1;
      }
    }
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }
  // A connection that came in is queued until accepted, also when its client is gone.
  bool connected() {
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    ::close(c);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The program with one argument, its standard error going to `err`.
std::unique_ptr<Process> start_with_argument(const std::string& argument, const fs::path& err,
                                             int web_port, int controller_port) {
  return std::make_unique<Process>(
      "vibration_test",
      std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$1\" 2>\"$2\"", VB_PROGRAM, argument,
                               err.string()},
      std::map<std::string, std::string>{{"VB_WEB_PORT", std::to_string(web_port)},
                                         {"VB_CONTROLLER_PORT", std::to_string(controller_port)}});
}

// An option prints the usage and starts nothing (no listener, no robot client); anything else
// is the root folder.
TEST(CommandLine, AnOptionPrintsTheUsageAnyOtherArgumentIsTheRootFolder) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const fs::path err = dir.path / "stderr.txt";
  struct Row {
    const char* argument;
    int status;
  };
  const Row rows[] = {{"--help", 0}, {"-h", 0}, {"-x", 2}, {"--root=/tmp", 2}, {"-", 2}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.argument);
    Listener controller;
    ASSERT_NE(controller.port(), 0);
    const int web_port = free_port();
    auto program = start_with_argument(r.argument, err, web_port, controller.port());
    EXPECT_EQ(program->wait(Seconds(10)), r.status);
    program->kill();
    EXPECT_EQ(program->output(), "");  // nothing on standard output
    const std::string usage = vb::webtest::read_file(err.string());
    EXPECT_EQ(usage.rfind("usage: ", 0), 0u) << usage;
    EXPECT_EQ(usage.find('\n'), usage.size() - 1) << usage;  // one line
    EXPECT_FALSE(vb::webtest::port_in_use(web_port));
    EXPECT_FALSE(controller.connected()) << "the robot client connected";
  }

  SCOPED_TRACE("a folder");
  write_file(dir.path / "x-ui/run/dist/index.html", "<html>x</html>");
  Listener controller;
  ASSERT_NE(controller.port(), 0);
  const int web_port = free_port();
  auto program =
      start_with_argument((dir.path / "x-ui").string(), err, web_port, controller.port());
  ASSERT_TRUE(
      program->waitFor("webserver start listen:" + std::to_string(web_port) + "\n", kDeadline));
  const auto page = vb::webtest::first_answer(static_cast<unsigned short>(web_port), "/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body, "<html>x</html>");
  EXPECT_EQ(vb::webtest::read_file(err.string()).find("usage"), std::string::npos);
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  bool connected = false;
  while (!(connected = controller.connected()) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(connected) << "the robot client never connected";
}

}  // namespace
