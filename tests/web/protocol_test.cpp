// The JSON command protocol over a real websocket connection, with the server's standard output
// captured.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "Global.h"
#include "OriginRule.h"
#include "WsClient.h"
#include "web_test_util.h"

namespace gv = vb::GlobalValue;
using vb::tools::WsClient;
using vb::webtest::RunningServer;
using vb::webtest::StdoutCapture;

namespace {

const char* const kMalformed = "on_message recv a error format message\n\n";

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vb::webtest::reset_shared_state();
    capture_ = std::make_unique<StdoutCapture>();
    running_ = std::make_unique<RunningServer>();
    ASSERT_NE(running_->port, 0);
    EXPECT_EQ(capture_->take_until("webserver start listen:0\n"), "");
    std::string error;
    ASSERT_TRUE(client_.connect("127.0.0.1", running_->port, 10, &error)) << error;
  }
  void TearDown() override {
    client_.close();
    running_.reset();
    capture_.reset();
  }

  std::string request(const std::string& text) {
    std::string reply;
    EXPECT_TRUE(client_.request(text, &reply, 10)) << "no reply to " << text;
    return reply;
  }

  // Sends a setTestMode with a unique id and returns what was printed before its "reply:" line:
  // everything the preceding requests printed. Its own reply proves the earlier ones were
  // handled, since one connection's messages are handled in order.
  std::string printed_before_fence() {
    const std::string id = std::to_string(++fence_);
    const std::string fence_reply = "{\"id\":" + id + ",\"task\":\"setTestMode\",\"success\":true}";
    EXPECT_EQ(request("{\"task\":\"setTestMode\",\"id\":" + id + ",\"req\":{\"mode\":0}}"),
              fence_reply);
    return capture_->take_until("reply: " + fence_reply + "\n").value_or("<no fence line>");
  }

  std::unique_ptr<StdoutCapture> capture_;
  std::unique_ptr<RunningServer> running_;
  WsClient client_;
  unsigned fence_ = 1000;
};

bool activation(int joint) { return gv::vb_activate_param[joint].load(); }

struct Case {
  const char* name;
  std::string payload;
  std::optional<std::string> reply;  // nothing: the server must not answer
  std::string printed;
  std::function<void()> check;
};

std::string refusal(const std::string& id, const std::string& task, const std::string& error) {
  return "{\"id\":" + id + ",\"task\":\"" + task + "\",\"success\":false,\"error\":\"" + error +
         "\"}";
}

std::string joint_params(const std::string& pole_pairs) {
  return "{\"task\":\"setJointParam\",\"id\":9,\"req\":{\"motor_pole_pair\":" + pole_pairs +
         ",\"stator_slots\":[18,18,18,18,18,18],\"joint_ratio\":[101,101,101,101,101,101]}}";
}

TEST_F(ProtocolTest, EdgeCasesAndRefusals) {
  const std::string mode_error = "mode must be 0..5 or 99";
  const std::string num_error = "num must be an integer in 0..5";
  const std::string pp_error =
      "motor_pole_pair must be an array of at least six integers in 0..32767";
  const std::vector<Case> cases = {
      {"id 7", R"({"task":"startTest","id":7})", R"({"id":7,"task":"startTest","success":true})",
       "", [] { EXPECT_EQ(gv::vb_test_cmd.load(), 1); }},
      {"id -1", R"({"task":"stopTest","id":-1})",
       R"({"id":4294967295,"task":"stopTest","success":true})", "",
       [] { EXPECT_EQ(gv::vb_test_cmd.load(), 0); }},
      {"id 4294967301", R"({"task":"startTest","id":4294967301})",
       R"({"id":5,"task":"startTest","success":true})", "", nullptr},
      {"id absent", R"({"task":"stopTest"})", R"({"id":0,"task":"stopTest","success":true})", "",
       nullptr},
      {"id not an integer", R"({"task":"stopTest","id":7.5})",
       R"({"id":0,"task":"stopTest","success":true})", "", nullptr},
      {"mode 99.7", R"({"task":"setTestMode","req":{"mode":99.7}})",
       R"({"id":0,"task":"setTestMode","success":true})",
       "reply: {\"id\":0,\"task\":\"setTestMode\",\"success\":true}\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 99); }},
      {"mode 3", R"({"task":"setTestMode","id":2,"req":{"mode":3}})",
       R"({"id":2,"task":"setTestMode","success":true})",
       "reply: {\"id\":2,\"task\":\"setTestMode\",\"success\":true}\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 3); }},
      {"high_speed true", R"({"task":"setHighSpeedMode","req":{"high_speed":true}})",
       R"({"id":0,"task":"setHighSpeedMode","success":true})", "set high speed: 1\n",
       [] { EXPECT_TRUE(gv::vb_high_speed_mode.load()); }},
      {"high_speed 1", R"({"task":"setHighSpeedMode","req":{"high_speed":1}})",
       R"({"id":0,"task":"setHighSpeedMode","success":true})", "set high speed: 0\n",
       [] { EXPECT_FALSE(gv::vb_high_speed_mode.load()); }},
      {"wrong case", R"({"task":"Update"})", "", "invalid ui command\n", nullptr},
      {"NUL byte then text", std::string(R"({"task":"startTest","id":8})") + '\0' + "garbage",
       R"({"id":8,"task":"startTest","success":true})", "", nullptr},
      {"trailing text", R"({"task":"startTest","id":9} x)", std::nullopt, kMalformed, nullptr},
      {"array", "[1,2]", std::nullopt, kMalformed, nullptr},
      {"number", "5", std::nullopt, kMalformed, nullptr},
      {"empty object", "{}", std::nullopt, kMalformed, nullptr},
      {"no task", R"({"id":3})", std::nullopt, kMalformed, nullptr},
      {"empty payload", "", std::nullopt, kMalformed, nullptr},
      {"task not a string", R"({"task":5})", std::nullopt, kMalformed, nullptr},
      {"comment", R"({"task":"startTest"/*x*/})", std::nullopt, kMalformed, nullptr},
      {"activate 2", R"({"task":"activateIDResult","req":{"num":2}})",
       R"({"id":0,"task":"activateIDResult","success":true})", "activateIDResult: 2\n",
       [] { EXPECT_TRUE(activation(2)); }},
      {"activate without req", R"({"task":"activateIDResult","id":1})",
       R"({"id":1,"task":"activateIDResult","success":true})", "activateIDResult: 0\n",
       [] { EXPECT_TRUE(activation(0)); }},
      {"deactivate 2", R"({"task":"deactivateIDResult","req":{"num":2}})",
       R"({"id":0,"task":"deactivateIDResult","success":true})", "deactivateIDResult: 2\n",
       [] { EXPECT_FALSE(activation(2)); }},
      // Refusals: nothing changes, the reply says why and so does standard output.
      {"mode 6", R"({"task":"setTestMode","id":4,"req":{"mode":6}})",
       refusal("4", "setTestMode", mode_error),
       "setTestMode refused: " + mode_error +
           "\nreply: " + refusal("4", "setTestMode", mode_error) + "\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 3); }},
      {"mode -1", R"({"task":"setTestMode","id":4,"req":{"mode":-1}})",
       refusal("4", "setTestMode", mode_error),
       "setTestMode refused: " + mode_error +
           "\nreply: " + refusal("4", "setTestMode", mode_error) + "\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 3); }},
      {"mode 1e300", R"({"task":"setTestMode","id":4,"req":{"mode":1e300}})",
       refusal("4", "setTestMode", mode_error),
       "setTestMode refused: " + mode_error +
           "\nreply: " + refusal("4", "setTestMode", mode_error) + "\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 3); }},
      {"mode a string", R"({"task":"setTestMode","id":4,"req":{"mode":"3"}})",
       refusal("4", "setTestMode", "mode must be a number"),
       "setTestMode refused: mode must be a number\nreply: " +
           refusal("4", "setTestMode", "mode must be a number") + "\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 3); }},
      {"req an array", R"({"task":"setTestMode","id":4,"req":[1]})",
       refusal("4", "setTestMode", "req is not an object"),
       "setTestMode refused: req is not an object\nreply: " +
           refusal("4", "setTestMode", "req is not an object") + "\n",
       [] { EXPECT_EQ(gv::vb_test_mode.load(), 3); }},
      {"num 6", R"({"task":"activateIDResult","id":5,"req":{"num":6}})",
       refusal("5", "activateIDResult", num_error), "activateIDResult refused: " + num_error + "\n",
       nullptr},
      {"num -1", R"({"task":"deactivateIDResult","id":5,"req":{"num":-1}})",
       refusal("5", "deactivateIDResult", num_error),
       "deactivateIDResult refused: " + num_error + "\n", nullptr},
      {"num 0.0", R"({"task":"deactivateIDResult","id":5,"req":{"num":0.0}})",
       refusal("5", "deactivateIDResult", num_error),
       "deactivateIDResult refused: " + num_error + "\n", [] { EXPECT_TRUE(activation(0)); }},
      {"high_speed req a string", R"({"task":"setHighSpeedMode","id":6,"req":"on"})",
       refusal("6", "setHighSpeedMode", "req is not an object"),
       "setHighSpeedMode refused: req is not an object\n", nullptr},
      {"joint params short", joint_params("[4,4,4,4,4]"), refusal("9", "setJointParam", pp_error),
       "setJointParam refused: " + pp_error + "\n", nullptr},
      {"joint params 40000", joint_params("[4,4,4,4,4,40000]"),
       refusal("9", "setJointParam", pp_error), "setJointParam refused: " + pp_error + "\n",
       nullptr},
      {"joint params negative", joint_params("[4,4,4,4,4,-1]"),
       refusal("9", "setJointParam", pp_error), "setJointParam refused: " + pp_error + "\n",
       nullptr},
      {"joint params fraction", joint_params("[4,4,4,4,4,4.5]"),
       refusal("9", "setJointParam", pp_error), "setJointParam refused: " + pp_error + "\n",
       nullptr},
      {"joint params missing", R"({"task":"setJointParam","id":9,"req":{"stator_slots":[1]}})",
       refusal("9", "setJointParam", pp_error), "setJointParam refused: " + pp_error + "\n",
       nullptr},
      {"joint ratio missing",
       R"({"task":"setJointParam","id":9,"req":{"motor_pole_pair":[1,1,1,1,1,1],"stator_slots":[1,1,1,1,1,1]}})",
       refusal("9", "setJointParam",
               "joint_ratio must be an array of at least six integers in 0..32767"),
       "setJointParam refused: joint_ratio must be an array of at least six integers in "
       "0..32767\n",
       nullptr},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client_.send(c.payload));
    if (c.reply) {
      std::string reply;
      ASSERT_TRUE(client_.next(&reply, 10));
      EXPECT_EQ(reply, *c.reply);
      if (c.check) c.check();
    }
    // For a request without reply, the fence's reply is the next message.
    EXPECT_EQ(printed_before_fence(), c.printed);
    gv::vb_test_mode.store(3);  // the fence selected joint 0
  }
  // A refused setJointParam changed nothing.
  std::lock_guard<std::mutex> lock(gv::table_mutex);
  EXPECT_EQ(gv::robot_motor_pole_pair, std::vector<short>(6, 8));
}

TEST_F(ProtocolTest, GetJointParamDefaultsByteForByte) {
  EXPECT_EQ(request(R"({"task":"getJointParam","id":7})"),
            R"({"id":7,"task":"getJointParam","req":{"motor_pole_pair":[8,8,8,8,8,8],)"
            R"("stator_slots":[18,18,18,18,18,18],"joint_ratio":[101,101,101,101,101,101]},)"
            R"("success":true})");
  EXPECT_EQ(printed_before_fence(), "");
}

TEST_F(ProtocolTest, SetJointParamStoresReportsAndReadsBack) {
  const std::string reply =
      request(R"({"task":"setJointParam","id":11,"req":{"motor_pole_pair":[4,5,6,7,8,9,100],)"
              R"("stator_slots":[12,13,14,15,16,17],"joint_ratio":[100,121,80,101,50,32767]}})");
  EXPECT_EQ(reply, R"({"id":11,"task":"setJointParam","success":true})");
  EXPECT_EQ(printed_before_fence(),
            "set joint param: \n"
            "motor_pole_pair: 4 5 6 7 8 9 \n"
            "stator_slots: 12 13 14 15 16 17 \n"
            "joint_ratio: 100 121 80 101 50 32767 \n"
            "feat freq order: \n"
            "4 8 12\n5 10 13\n6 12 14\n7 14 15\n8 16 16\n9 18 17\n");
  {
    std::lock_guard<std::mutex> lock(gv::table_mutex);
    EXPECT_EQ(gv::robot_axis_ratio, (std::vector<short>{100, 121, 80, 101, 50, 32767}));
    EXPECT_EQ(gv::vb_feat_freq_order[5][0], 9u);
    EXPECT_EQ(gv::vb_feat_freq_order[5][1], 18u);
    EXPECT_EQ(gv::vb_feat_freq_order[5][2], 17u);
  }
  EXPECT_EQ(request(R"({"task":"getJointParam","id":12})"),
            R"({"id":12,"task":"getJointParam","req":{"motor_pole_pair":[4,5,6,7,8,9],)"
            R"("stator_slots":[12,13,14,15,16,17],"joint_ratio":[100,121,80,101,50,32767]},)"
            R"("success":true})");
}

TEST_F(ProtocolTest, GetJointParamSendsNegativeValuesAsUnsigned) {
  // Only the controller's configuration can store such a value; the UI has always read it so.
  {
    std::lock_guard<std::mutex> lock(gv::table_mutex);
    gv::robot_stator_slots[1] = -2;
  }
  const std::string reply = request(R"({"task":"getJointParam"})");
  EXPECT_NE(reply.find(R"("stator_slots":[18,4294967294,18,18,18,18])"), std::string::npos)
      << reply;
}

const char* const kUpdateKeys[] = {"max_vib_vel",
                                   "max_vib_first_freq",
                                   "max_vib_first_order",
                                   "max_vib_first_amp",
                                   "first_optimum_phase",
                                   "first_optimum_current",
                                   "first_optimum_amp",
                                   "first_servo_param",
                                   "max_vib_second_freq",
                                   "max_vib_second_order",
                                   "max_vib_second_amp",
                                   "second_optimum_phase",
                                   "second_optimum_current",
                                   "second_optimum_amp",
                                   "second_servo_param",
                                   "max_vib_third_freq",
                                   "max_vib_third_order",
                                   "max_vib_third_amp",
                                   "third_optimum_phase",
                                   "third_optimum_current",
                                   "third_optimum_amp",
                                   "third_servo_param"};

bool integer_column(const std::string& key) {
  return key == "max_vib_first_order" || key.find("servo_param") != std::string::npos;
}

TEST_F(ProtocolTest, UpdateOfTheInitialStateIsExact) {
  std::string expected = R"({"id":0,"task":"update","test_state":0)";
  for (const char* key : kUpdateKeys) {
    const char* zero = integer_column(key) ? "0" : "0.0";
    expected += std::string(",\"") + key + "\":[";
    for (int j = 0; j < 6; ++j) expected += std::string(j ? "," : "") + zero;
    expected += "]";
  }
  expected += "}";
  EXPECT_EQ(request(R"({"task":"update"})"), expected);
  EXPECT_EQ(printed_before_fence(), "");
}

TEST_F(ProtocolTest, UpdateReportsTheTablesInTheirForms) {
  {
    std::lock_guard<std::mutex> lock(gv::table_mutex);
    gv::vb_test_state = 2;
    gv::vb_max_vib_target_vel[0] = 1.0 / 3.0;
    gv::vb_max_vib_target_vel[1] = 2.0;
    gv::vb_max_vib_target_vel[2] = 1.23456789012;
    gv::vb_max_vib_target_vel[3] = 1e-9;
    gv::vb_first_feat_order[0] = 16;
    gv::vb_second_feat_order[0] = 16;
    gv::vb_third_feat_order[5] = 18;
    gv::vb_first_servo_param[4] = 4294967295u;
    gv::vb_first_optimum_amp[2] = std::numeric_limits<double>::quiet_NaN();
    gv::vb_third_freq[1] = std::numeric_limits<double>::infinity();
    gv::vb_first_order[0] = 77;  // measured orders are published but never reported
  }
  const std::string reply = request(R"({"task":"update","id":3})");
  const auto contains = [&](const std::string& part) {
    EXPECT_NE(reply.find(part), std::string::npos) << part << " not in " << reply;
  };
  contains(R"({"id":3,"task":"update","test_state":2,)");
  // Eight decimal places in fixed notation; the library keeps exponents for tiny values.
  contains(R"("max_vib_vel":[0.33333333,2.0,1.23456789,1e-9,0.0,0.0])");
  contains(R"("max_vib_first_order":[16,0,0,0,0,0])");
  contains(R"("max_vib_second_order":[16.0,0.0,0.0,0.0,0.0,0.0])");
  contains(R"("max_vib_third_order":[0.0,0.0,0.0,0.0,0.0,18.0])");
  contains(R"("first_servo_param":[0,0,0,0,4294967295,0])");
  contains(R"("first_optimum_amp":[0.0,0.0,null,0.0,0.0,0.0])");
  contains(R"("max_vib_third_freq":[0.0,null,0.0,0.0,0.0,0.0])");
  EXPECT_EQ(reply.find("77"), std::string::npos);
  EXPECT_EQ(reply.find("success"), std::string::npos);

  rapidjson::Document d;
  d.Parse(reply.c_str());
  ASSERT_FALSE(d.HasParseError()) << reply;
  ASSERT_TRUE(d.IsObject());
  ASSERT_EQ(d.MemberCount(), 25u);  // id, task, then test_state and 22 arrays
  auto it = d.MemberBegin();
  EXPECT_STREQ((it++)->name.GetString(), "id");
  EXPECT_STREQ((it++)->name.GetString(), "task");
  EXPECT_STREQ((it++)->name.GetString(), "test_state");
  for (const char* key : kUpdateKeys) {
    ASSERT_STREQ(it->name.GetString(), key);
    ASSERT_TRUE(it->value.IsArray());
    EXPECT_EQ(it->value.Size(), 6u) << key;
    ++it;
  }
}

TEST_F(ProtocolTest, CommandsPrintNothingElseAndCloseIsReported) {
  request(R"({"task":"update"})");
  request(R"({"task":"getJointParam"})");
  request(R"({"task":"startTest"})");
  request(R"({"task":"stopTest"})");
  EXPECT_EQ(printed_before_fence(), "");
  client_.close();
  EXPECT_TRUE(capture_->wait_for("Close handler\n"));
}

TEST(OriginCheck, LetsInOnlyTheOperatorsOwnPages) {
  // The machine's names as OriginRule::own_names gives them: host, mDNS and resolver names.
  const vb::OriginRule rule({"http://ui.example:8080", "null"},
                            {"Robot-7", "Robot-7.local", "robot-7.lab.example."});
  const vb::OriginRule any({"*"}, {"robot-7"});
  struct Row {
    const char* origin;
    const char* host;
    bool allowed;
  };
  const Row rows[] = {
      {"", "127.0.0.1:11666", true},  // no Origin: a non-browser client
      {"", "", true},
      {"http://127.0.0.1:11666", "127.0.0.1:11666", true},
      {"http://LOCALHOST:11666", "localhost:11666", true},
      {"http://[::1]:8080", "[::1]:8080", true},
      // the same machine named the same way, any port
      {"http://127.0.0.1:8000", "127.0.0.1:11666", true},
      {"http://192.168.1.20:8080", "192.168.1.20:11666", true},
      {"https://192.168.1.20", "192.168.1.20:11666", true},
      {"http://[fe80::1]", "[FE80::1]:11666", true},
      {"http://robot-7:3000", "ROBOT-7:11666", true},
      {"http://localhost:3000", "localhost:11666", true},
      // the machine's own names, any case, with or without the trailing dot
      {"http://robot-7.local:11666", "robot-7.local:11666", true},
      {"http://ROBOT-7.LOCAL.", "Robot-7.local.:11666", true},
      {"http://robot-7.local", "robot-7.local.:11666", true},
      {"http://robot-7.lab.example:11666", "robot-7.lab.example:11666", true},
      {"https://robot-7.lab.example.", "ROBOT-7.LAB.EXAMPLE:11666", true},
      {"http://robot-7.", "robot-7:11666", true},
      // loopback on both sides, whatever the spelling
      {"http://localhost:11666", "127.0.0.1:11666", true},
      {"http://127.0.0.1:11666", "localhost:11666", true},
      {"http://127.8.9.10:1", "[::1]:11666", true},
      {"http://[::1]", "localhost", true},
      {"http://[::ffff:127.0.0.1]", "127.0.0.1:11666", true},
      // listed origins, exactly
      {"http://ui.example:8080", "127.0.0.1:11666", true},
      {"http://ui.example:8080", "robot.example", true},
      {"null", "127.0.0.1:11666", true},
      {"http://ui.example:8081", "127.0.0.1:11666", false},
      {"http://ui.example", "127.0.0.1:11666", false},
      {"https://ui.example:8080", "127.0.0.1:11666", false},
      // a name that only DNS ties to this machine, as in DNS rebinding
      {"http://evil.example:11666", "evil.example:11666", false},
      {"http://robot.local", "robot.local", false},
      {"http://robot-7.evil.example", "robot-7.evil.example:11666", false},
      {"http://robot-7.local.evil.example", "robot-7.local.evil.example:11666", false},
      {"http://robot-7.lab", "robot-7.lab:11666", false},
      {"http://robot-7.local..", "robot-7.local..:11666", false},
      // one own name for the page, another for the websocket
      {"http://robot-7.local", "robot-7:11666", false},
      {"http://robot-7.local", "127.0.0.1:11666", false},
      // foreign pages
      {"http://evil.example:11666", "127.0.0.1:11666", false},
      {"http://127.0.0.1.evil.example", "127.0.0.1:11666", false},
      {"http://192.168.1.21:11666", "192.168.1.20:11666", false},
      {"http://192.168.1.20:11666", "127.0.0.1:11666", false},
      {"http://127.0.0.1:11666", "192.168.1.20:11666", false},
      {"http://localhost.evil.example", "localhost:11666", false},
      {"file://", "127.0.0.1:11666", false},
      {"chrome-extension://abc", "127.0.0.1:11666", false},
      // malformed
      {"http://127.0.0.1:11666", "", false},
      {"http://127.0.0.1:11666/x", "127.0.0.1:11666", false},
      {"http://127.0.0.1:99999", "127.0.0.1:11666", false},
      {"http://a@127.0.0.1:11666", "127.0.0.1:11666", false},
      {"http://::1", "[::1]:11666", false},
      {"http://[robot-7]", "robot-7", false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(rule.allows(r.origin, r.host), r.allowed) << r.origin << " / " << r.host;
    EXPECT_TRUE(any.allows(r.origin, r.host)) << r.origin << " / " << r.host;
  }
  const vb::OriginRule unlisted({}, {});
  EXPECT_FALSE(unlisted.allows("null", "127.0.0.1:11666"));
  EXPECT_FALSE(unlisted.allows("http://robot-7", "robot-7"));
  EXPECT_TRUE(unlisted.allows("http://localhost:1", "[::1]:2"));
}

TEST_F(ProtocolTest, UpgradeFromAnotherOriginIsRefused) {
  const std::string own = "http://127.0.0.1:" + std::to_string(running_->port);
  WsClient same;
  std::string error;
  EXPECT_TRUE(same.connect("127.0.0.1", running_->port, 10, &error, own)) << error;
  std::string reply;
  EXPECT_TRUE(same.request(R"({"task":"stopTest"})", &reply, 10));

  WsClient other;
  EXPECT_FALSE(other.connect("127.0.0.1", running_->port, 10, &error, "http://evil.example"));
  EXPECT_TRUE(
      capture_->wait_for("websocket refused: origin http://evil.example is not host "
                         "127.0.0.1:" +
                         std::to_string(running_->port) + "\n"));

  // Refused as forbidden, not as a malformed request; the operator's own pages get the upgrade.
  const std::string port = std::to_string(running_->port);
  for (const std::string& origin :
       {std::string("http://evil.example"), std::string("null"), "http://10.1.2.3:" + port}) {
    EXPECT_EQ(vb::webtest::websocket_upgrade_status(running_->port, origin), 403) << origin;
  }
  for (const std::string& origin : {own, "http://127.0.0.1:" + std::to_string(running_->port + 1),
                                    "http://localhost:" + port}) {
    EXPECT_EQ(vb::webtest::websocket_upgrade_status(running_->port, origin), 101) << origin;
  }
}

TEST(WebServerListen, PortTakenEndsOnlyTheWebThread) {
  StdoutCapture capture;
  RunningServer first;
  ASSERT_NE(first.port, 0);
  vb::WebServer second(first.port);
  second.run();
  EXPECT_EQ(second.listening_port(), 0);
  const std::string line = "webserver start listen:" + std::to_string(first.port) + "\n";
  const std::optional<std::string> before = capture.take_until(line);
  ASSERT_TRUE(before);
  // The exception's text follows the start line (the socket error itself goes to stderr).
  EXPECT_EQ(capture.take_until("\n"), "Underlying Transport Error");
  // The first server is unaffected.
  WsClient client;
  std::string error;
  ASSERT_TRUE(client.connect("127.0.0.1", first.port, 10, &error)) << error;
  std::string reply;
  EXPECT_TRUE(client.request(R"({"task":"startTest","id":1})", &reply, 10));
  EXPECT_EQ(reply, R"({"id":1,"task":"startTest","success":true})");
}

}  // namespace
