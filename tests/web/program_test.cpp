// The whole program as a process, against the simulated controller program. Most cases move
// both onto free ports (VB_WEB_PORT, VB_CONTROLLER_PORT, robot_sim --port 0) and run in
// parallel; the DefaultPorts case uses the fixed ports 11666 and 7003 under a CTest lock.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OvraCobot.h"
#include "WsClient.h"
#include "free_port.h"
#include "process.h"
#include "web_test_util.h"

using vb::tools::WsClient;

namespace {

constexpr int kWebPort = 11666;
constexpr int kControllerPort = 7003;
constexpr auto kDeadline = std::chrono::seconds(60);

using vb::test::Process;

// A port nothing listens on: bound and released, free unless someone takes it in between.
// Below the end-to-end cases' range (20000 up), so the two suites never share a port.
int free_port() { return vb::test::freePortIn(12000, 19999); }

// The program on the given ports; 0 for both leaves its defaults (no environment entries).
std::unique_ptr<Process> start_program(int web_port, int controller_port) {
  std::map<std::string, std::string> env;
  if (web_port != 0) env["VB_WEB_PORT"] = std::to_string(web_port);
  if (controller_port != 0) env["VB_CONTROLLER_PORT"] = std::to_string(controller_port);
  return std::make_unique<Process>(
      "vibration_test", std::vector<std::string>{VB_PROGRAM, vb::webtest::fixture_root()}, env);
}

// robot_sim on a free port of its choosing; its port in *port.
std::unique_ptr<Process> start_controller(int* port) {
  auto sim =
      std::make_unique<Process>("robot_sim", std::vector<std::string>{VB_ROBOT_SIM, "--port", "0"});
  const std::string prefix = "robot_sim: listening on 127.0.0.1:";
  *port = 0;
  if (sim->waitForLine(prefix, kDeadline)) {
    const std::string out = sim->output();
    *port = std::atoi(out.c_str() + out.find(prefix) + prefix.size());
  }
  EXPECT_NE(*port, 0) << "robot_sim did not listen";
  return sim;
}

// The entries of the printed line that starts with `label`, e.g. "motor_pole_pair: 8 8 ... ".
std::string printed_list(const std::string& out, const std::string& label) {
  const std::size_t at = out.find(label);
  if (at == std::string::npos) return {};
  std::istringstream in(out.substr(at + label.size(), out.find('\n', at) - at - label.size()));
  std::string list, value;
  while (in >> value) list += (list.empty() ? "" : ",") + value;
  return "[" + list + "]";
}

std::string request(WsClient& client, const std::string& text) {
  std::string reply;
  EXPECT_TRUE(client.request(text, &reply, 10)) << "no reply to " << text;
  return reply;
}

int test_state(WsClient& client) {
  rapidjson::Document d;
  d.Parse(request(client, R"({"task":"update"})").c_str());
  if (d.HasParseError() || !d.IsObject() || !d.HasMember("test_state")) return -1;
  return d["test_state"].GetInt();
}

TEST(ProgramTest, ServesTheUiAndStartTestMovesTheJoint) {
  int controller_port = 0;
  auto sim = start_controller(&controller_port);
  const int web_port = free_port();
  auto program = start_program(web_port, controller_port);
  ASSERT_GT(program->pid(), 0);
  // The web thread prints while the main thread configures, and the component writes its
  // connection line in pieces: wait for each piece on its own.
  ASSERT_TRUE(
      program->waitFor("webserver start listen:" + std::to_string(web_port) + "\n", kDeadline));
  ASSERT_TRUE(program->waitFor("connectToOvraCobot successed.", kDeadline));
  ASSERT_TRUE(program->waitFor("connectToOvraCobot end .", kDeadline));
  ASSERT_TRUE(program->waitForLine("joint_ratio: ", kDeadline));
  const std::string out = program->output();

  auto page = vb::webtest::first_answer(web_port, "/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->headers["content-type"], "text/html; charset=utf-8");
  EXPECT_EQ(page->body,
            vb::webtest::read_file(vb::webtest::fixture_root() + "/run/dist/index.html"));

  WsClient client;
  std::string error;
  ASSERT_TRUE(client.connect("127.0.0.1", web_port, 10, &error)) << error;
  // The motor data that the configuration read from the controller, as it printed them.
  EXPECT_EQ(request(client, R"({"task":"getJointParam","id":1})"),
            R"({"id":1,"task":"getJointParam","req":{"motor_pole_pair":)" +
                printed_list(out, "motor_pole_pair: ") + R"(,"stator_slots":)" +
                printed_list(out, "stator_slots: ") + R"(,"joint_ratio":)" +
                printed_list(out, "joint_ratio: ") + R"(},"success":true})");
  EXPECT_EQ(test_state(client), 0);

  OvraRPC::OvraCobot observer("127.0.0.1", static_cast<unsigned>(controller_port));
  ASSERT_EQ(observer.open(), 0);
  std::vector<double> start;
  observer.get_actual_joints_position(start);
  ASSERT_EQ(start.size(), 6u);

  EXPECT_EQ(request(client, R"({"task":"setTestMode","id":2,"req":{"mode":0}})"),
            R"({"id":2,"task":"setTestMode","success":true})");
  EXPECT_EQ(request(client, R"({"task":"startTest","id":3})"),
            R"({"id":3,"task":"startTest","success":true})");

  bool running = false;
  bool moved = false;
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!(running && moved) && std::chrono::steady_clock::now() < until) {
    running = running || test_state(client) == 1;
    std::vector<double> now;
    observer.get_actual_joints_position(now);
    moved = now.size() == 6 && std::fabs(now[0] - start[0]) > 1e-3;
    if (moved) {
      for (int j = 1; j < 6; ++j) EXPECT_DOUBLE_EQ(now[j], start[j]) << "joint " << j;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(running) << "update never reported the test running";
  EXPECT_TRUE(moved) << "joint 0 never moved";
  EXPECT_EQ(request(client, R"({"task":"stopTest","id":4})"),
            R"({"id":4,"task":"stopTest","success":true})");
  observer.close();
}

TEST(ProgramTest, SecondInstanceCannotListenButItsComponentStarts) {
  int controller_port = 0;
  auto sim = start_controller(&controller_port);
  const int web_port = free_port();
  const std::string listen_line = "webserver start listen:" + std::to_string(web_port) + "\n";
  auto first = start_program(web_port, controller_port);
  ASSERT_TRUE(first->waitFor(listen_line, kDeadline));
  ASSERT_TRUE(first->waitFor("connectToOvraCobot end .", kDeadline));
  // The first one listens once it answers.
  ASSERT_TRUE(vb::webtest::first_answer(web_port, "/"));

  auto second = start_program(web_port, controller_port);
  ASSERT_TRUE(second->waitFor(listen_line, kDeadline));
  ASSERT_TRUE(second->waitFor("Underlying Transport Error\n", kDeadline));
  const std::string out = second->output();
  EXPECT_LT(out.find(listen_line), out.find("Underlying Transport Error\n"));
  // Its component configures and starts all the same.
  ASSERT_TRUE(second->waitFor("connectToOvraCobot successed.", kDeadline));
  ASSERT_TRUE(second->waitFor("connectToOvraCobot end .", kDeadline));
  EXPECT_TRUE(second->waitForLine("joint_ratio: ", kDeadline));

  // The first instance still owns the port and answers.
  WsClient client;
  std::string error;
  ASSERT_TRUE(client.connect("127.0.0.1", web_port, 10, &error)) << error;
  EXPECT_EQ(request(client, R"({"task":"stopTest","id":5})"),
            R"({"id":5,"task":"stopTest","success":true})");
}

// The fixed ports, and no controller behind 7003.
TEST(DefaultPorts, WithoutTheControllerItStillServes) {
  ASSERT_FALSE(vb::webtest::port_in_use(kWebPort)) << "port 11666 is in use";
  ASSERT_FALSE(vb::webtest::port_in_use(kControllerPort)) << "port 7003 is in use";
  auto program = start_program(0, 0);
  ASSERT_TRUE(program->waitFor("webserver start listen:11666\n", kDeadline));
  ASSERT_TRUE(program->waitFor("connectToOvraCobot failed.", kDeadline));
  ASSERT_TRUE(program->waitFor("connectToOvraCobot end .", kDeadline));
  ASSERT_TRUE(program->waitFor("joint_ratio: 101 101 101 101 101 101 \n", kDeadline));
  EXPECT_NE(program->output().find("motor_pole_pair: 8 8 8 8 8 8 \n"), std::string::npos);

  ASSERT_TRUE(vb::webtest::first_answer(kWebPort, "/"));
  WsClient client;
  std::string error;
  ASSERT_TRUE(client.connect("127.0.0.1", kWebPort, 10, &error)) << error;
  const std::string reply = request(client, R"({"task":"update","id":6})");
  EXPECT_EQ(reply.rfind(R"({"id":6,"task":"update","test_state":0,"max_vib_vel":[)", 0), 0u)
      << reply;
  EXPECT_EQ(request(client, R"({"task":"getJointParam","id":7})"),
            R"({"id":7,"task":"getJointParam","req":{"motor_pole_pair":[8,8,8,8,8,8],)"
            R"("stator_slots":[18,18,18,18,18,18],"joint_ratio":[101,101,101,101,101,101]},)"
            R"("success":true})");
  auto svg = vb::webtest::http_request(kWebPort, "GET", "/img/logo.svg");
  ASSERT_TRUE(svg);
  EXPECT_EQ(svg->status, 200);
  EXPECT_EQ(svg->headers["content-type"], "image/svg+xml");
}

}  // namespace
