// A real browser against the server: headless Chromium loads the fixture page, whose module
// script opens the websocket, asks for the joint parameters and writes the reply into the page;
// the test reads the page back from --dump-dom.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "web_test_util.h"

using vb::webtest::RunningServer;
using vb::webtest::StdoutCapture;

namespace {

const char* const kChromium = "/usr/bin/chromium";

// The DOM of `url` after the page's scripts ran; empty when the browser failed. `flags` go to
// the browser as they are.
std::string dump_dom(const std::string& url, const std::string& flags = "") {
  char dir_template[] = "/tmp/vb_web_browser_XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) return {};
  const std::string profile = dir;
  const std::string command =
      std::string("timeout 120 ") + kChromium +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --disable-dev-shm-usage " +
      flags + " --user-data-dir=" + profile + "/profile --virtual-time-budget=10000 --dump-dom '" +
      url + "' 2>" + profile + "/stderr.log";
  std::string dom;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) dom.append(buf, n);
    const int status = ::pclose(p);
    if (status != 0 || dom.empty()) {
      ADD_FAILURE() << "chromium ended with " << status << "; its log:\n"
                    << vb::webtest::read_file(profile + "/stderr.log");
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(profile, ec);
  return dom;
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed";
    vb::webtest::reset_shared_state();
  }
};

TEST_F(BrowserTest, PageFromTheServerTalksOverTheWebsocket) {
  RunningServer running;
  ASSERT_NE(running.port, 0);
  const std::string dom = dump_dom("http://127.0.0.1:" + std::to_string(running.port) + "/");
  EXPECT_NE(dom.find(R"(<pre id="reply">reply:{"id":7,"task":"getJointParam","req":)"
                     R"({"motor_pole_pair":[8,8,8,8,8,8],"stator_slots":[18,18,18,18,18,18],)"
                     R"("joint_ratio":[101,101,101,101,101,101]},"success":true}</pre>)"),
            std::string::npos)
      << dom;
}

// The operator's page, loaded under one loopback name, talks to the interface under another.
TEST_F(BrowserTest, PageFromLocalhostTalksToTheLoopbackAddress) {
  RunningServer running;
  ASSERT_NE(running.port, 0);
  const std::string port = std::to_string(running.port);
  const std::string dom = dump_dom("http://localhost:" + port + "/?ws=127.0.0.1:" + port);
  EXPECT_NE(dom.find(R"(<pre id="reply">reply:{"id":7,"task":"getJointParam")"), std::string::npos)
      << dom;
}

TEST_F(BrowserTest, PageFromAnotherOriginCannotOpenTheWebsocket) {
  StdoutCapture capture;
  RunningServer robot;    // the operator interface
  RunningServer foreign;  // any other site the operator happens to visit
  ASSERT_NE(robot.port, 0);
  ASSERT_NE(foreign.port, 0);
  const std::string robot_host = "127.0.0.1:" + std::to_string(robot.port);
  const std::string foreign_origin = "http://foreign.example:" + std::to_string(foreign.port);
  const std::string dom = dump_dom(foreign_origin + "/?ws=" + robot_host,
                                   "'--host-resolver-rules=MAP foreign.example 127.0.0.1'");
  EXPECT_NE(dom.find(R"(<pre id="reply">refused</pre>)"), std::string::npos) << dom;
  EXPECT_TRUE(capture.wait_for("websocket refused: origin " + foreign_origin + " is not host " +
                               robot_host + "\n"));
}

}  // namespace
