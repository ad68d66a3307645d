// Websocket payloads, as on_message receives them, into the command handling. Besides the
// sanitizers' checks it holds the shared state to what the web side may leave behind: a mode
// the dispatcher can index with, motor-data vectors of at least six entries with the nominal
// orders derived from them, result tables the web side never writes, and a state that is left
// as it was by every request that is refused, malformed or read-only.
#include <fcntl.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Global.h"
#include "WebServer.h"

namespace gv = vb::GlobalValue;

namespace {

constexpr int kJoints = gv::kJoints;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "web_command_fuzzer: %s: %s\n", what, detail.c_str());
  std::abort();
}

double* const kRealTables[] = {
    gv::vb_max_vib_target_vel,    gv::vb_first_freq,
    gv::vb_second_freq,           gv::vb_third_freq,
    gv::vb_first_freq_vib_amp,    gv::vb_second_freq_vib_amp,
    gv::vb_third_freq_vib_amp,    gv::vb_first_optimum_phase,
    gv::vb_second_optimum_phase,  gv::vb_third_optimum_phase,
    gv::vb_first_optimum_current, gv::vb_second_optimum_current,
    gv::vb_third_optimum_current, gv::vb_first_optimum_amp,
    gv::vb_second_optimum_amp,    gv::vb_third_optimum_amp,
};
unsigned* const kIntegerTables[] = {
    gv::vb_first_order,       gv::vb_second_order,       gv::vb_third_order,
    gv::vb_first_feat_order,  gv::vb_second_feat_order,  gv::vb_third_feat_order,
    gv::vb_first_servo_param, gv::vb_second_servo_param, gv::vb_third_servo_param,
};
constexpr std::size_t kRealCount = sizeof kRealTables / sizeof kRealTables[0];
constexpr std::size_t kIntegerCount = sizeof kIntegerTables / sizeof kIntegerTables[0];

// Everything a web command may write, for comparing before and after a request.
struct WebState {
  int test_cmd = 0;
  int test_mode = 0;
  bool high_speed = false;
  bool activate[kJoints] = {};
  std::vector<short> tables[3];
  unsigned orders[kJoints][3] = {};

  static WebState take() {
    WebState s;
    s.test_cmd = gv::vb_test_cmd.load();
    s.test_mode = gv::vb_test_mode.load();
    s.high_speed = gv::vb_high_speed_mode.load();
    for (int j = 0; j < kJoints; ++j) s.activate[j] = gv::vb_activate_param[j].load();
    std::lock_guard<std::mutex> lock(gv::table_mutex);
    s.tables[0] = gv::robot_motor_pole_pair;
    s.tables[1] = gv::robot_stator_slots;
    s.tables[2] = gv::robot_axis_ratio;
    std::memcpy(s.orders, gv::vb_feat_freq_order, sizeof s.orders);
    return s;
  }

  bool operator==(const WebState& o) const {
    return test_cmd == o.test_cmd && test_mode == o.test_mode && high_speed == o.high_speed &&
           std::memcmp(activate, o.activate, sizeof activate) == 0 && tables[0] == o.tables[0] &&
           tables[1] == o.tables[1] && tables[2] == o.tables[2] &&
           std::memcmp(orders, o.orders, sizeof orders) == 0;
  }
};

// The control cycle's side of the tables, as the fuzzer set it: the web side only reads it.
double RealSeed(std::size_t table, int joint) {
  switch ((table + static_cast<std::size_t>(joint)) % 5) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return -std::numeric_limits<double>::infinity();
    case 2:
      return 1e300;
    case 3:
      return -0.0;
    default:
      return 12.5 * static_cast<double>(table + 1) + joint;
  }
}

unsigned IntegerSeed(std::size_t table, int joint) {
  return (table + static_cast<std::size_t>(joint)) % 2 == 0
             ? 0xFFFFFFFFu - static_cast<unsigned>(joint)
             : static_cast<unsigned>(table * 10 + static_cast<std::size_t>(joint));
}
constexpr int kTestStateSeed = 2;

void CheckControlSide() {
  std::lock_guard<std::mutex> lock(gv::table_mutex);
  if (gv::vb_test_state != kTestStateSeed) fail("vb_test_state written", "");
  for (std::size_t t = 0; t < kRealCount; ++t) {
    for (int j = 0; j < kJoints; ++j) {
      const double want = RealSeed(t, j);
      if (std::memcmp(&kRealTables[t][j], &want, sizeof want) != 0)
        fail("result table written", "");
    }
  }
  for (std::size_t t = 0; t < kIntegerCount; ++t) {
    for (int j = 0; j < kJoints; ++j) {
      if (kIntegerTables[t][j] != IntegerSeed(t, j)) fail("result table written", "");
    }
  }
}

void CheckInvariants(const WebState& s) {
  const int mode = s.test_mode;
  if (!((mode >= 0 && mode < kJoints) || mode == 99)) {
    fail("vb_test_mode out of range", std::to_string(mode));
  }
  if (s.test_cmd != 0 && s.test_cmd != 1) fail("vb_test_cmd", std::to_string(s.test_cmd));
  for (const auto& table : s.tables) {
    if (table.size() < static_cast<std::size_t>(kJoints)) fail("motor-data vector shrank", "");
    for (short v : table) {
      if (v < 0) fail("negative motor datum", std::to_string(v));
    }
  }
  for (int j = 0; j < kJoints; ++j) {
    const unsigned pp = static_cast<unsigned>(s.tables[0][j]);
    const unsigned slots = static_cast<unsigned>(s.tables[1][j]);
    if (s.orders[j][0] != pp || s.orders[j][1] != 2 * pp || s.orders[j][2] != slots) {
      fail("nominal orders do not follow the motor data", std::to_string(j));
    }
  }
}

// The task of a request as handle_command reads it; empty when it has none.
std::string RequestTask(const std::string& payload) {
  rapidjson::Document d;
  d.Parse<rapidjson::kParseIterativeFlag>(payload.c_str());
  if (d.HasParseError() || !d.IsObject()) return {};
  const auto it = d.FindMember("task");
  if (it == d.MemberEnd() || !it->value.IsString()) return {};
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

void CheckUpdateReply(const rapidjson::Document& r, const std::string& text) {
  if (r.MemberCount() != 25) fail("update reply members", text);
  for (auto it = r.MemberBegin() + 3; it != r.MemberEnd(); ++it) {
    if (!it->value.IsArray() || it->value.Size() != static_cast<unsigned>(kJoints)) {
      fail("update array", text);
    }
  }
}

// The reply is one JSON object answering the request's own task; reports whether it refused.
bool CheckReply(const std::string& task, const std::string& text) {
  rapidjson::Document r;
  r.Parse(text.c_str(), text.size());
  if (r.HasParseError() || !r.IsObject()) fail("reply is not a JSON object", text);
  const auto id = r.FindMember("id");
  const auto name = r.FindMember("task");
  if (id == r.MemberEnd() || !id->value.IsUint()) fail("reply id", text);
  if (name == r.MemberEnd() || !name->value.IsString() || task != name->value.GetString()) {
    fail("reply task", text);
  }
  if (task == "update") {
    CheckUpdateReply(r, text);
    return false;
  }
  const auto success = r.FindMember("success");
  if (success == r.MemberEnd() || !success->value.IsBool()) fail("reply success", text);
  if (success->value.IsTrue()) return false;
  const auto error = r.FindMember("error");
  if (error == r.MemberEnd() || !error->value.IsString()) fail("refusal without error", text);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The handlers narrate every command; millions of lines would only slow the search. libFuzzer
  // itself reports on standard error.
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDOUT_FILENO);
    ::close(null_fd);
  }
  std::lock_guard<std::mutex> lock(gv::table_mutex);
  gv::vb_test_state = kTestStateSeed;
  for (std::size_t t = 0; t < kRealCount; ++t) {
    for (int j = 0; j < kJoints; ++j) kRealTables[t][j] = RealSeed(t, j);
  }
  for (std::size_t t = 0; t < kIntegerCount; ++t) {
    for (int j = 0; j < kJoints; ++j) kIntegerTables[t][j] = IntegerSeed(t, j);
  }
  // As the configuration leaves them: the orders follow the motor data.
  for (int j = 0; j < kJoints; ++j) {
    gv::vb_feat_freq_order[j][0] = static_cast<unsigned>(gv::robot_motor_pole_pair[j]);
    gv::vb_feat_freq_order[j][1] = 2u * static_cast<unsigned>(gv::robot_motor_pole_pair[j]);
    gv::vb_feat_freq_order[j][2] = static_cast<unsigned>(gv::robot_stator_slots[j]);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  const WebState before = WebState::take();

  const std::optional<std::string> reply = vb::WebServer::handle_command(payload);

  const WebState after = WebState::take();
  CheckInvariants(after);
  CheckControlSide();

  const std::string task = RequestTask(payload);
  bool unchanged_expected = false;
  if (!reply) {
    if (!task.empty()) fail("no reply to a request with a task", payload);
    unchanged_expected = true;
  } else if (reply->empty()) {
    unchanged_expected = true;  // a task of no known name
  } else {
    unchanged_expected = CheckReply(task, *reply) || task == "update" || task == "getJointParam";
  }
  if (unchanged_expected && !(before == after)) fail("state changed by", payload);
  return 0;
}
