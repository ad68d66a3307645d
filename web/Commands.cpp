// The JSON commands of the operator UI. Each handler holds _data_mutex for its whole command and
// GlobalValue::table_mutex only while it copies tables in or out.
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "Global.h"
#include "Output.h"
#include "TestSchedule.h"
#include "WebServer.h"

namespace vb {

namespace gv = GlobalValue;

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;
constexpr int kJoints = gv::kJoints;

const rapidjson::Value* member(const rapidjson::Value* object, const char* name) {
  if (object == nullptr || !object->IsObject()) return nullptr;
  const auto it = object->FindMember(name);
  return it == object->MemberEnd() ? nullptr : &it->value;
}

// The low 32 bits of an integer "id"; 0 when it is absent or not an integer.
unsigned request_id(const rapidjson::Document& d) {
  const rapidjson::Value* id = member(&d, "id");
  if (id == nullptr) return 0;
  if (id->IsInt64()) return static_cast<std::uint32_t>(id->GetInt64());
  if (id->IsUint64()) return static_cast<std::uint32_t>(id->GetUint64());
  return 0;
}

void begin_reply(JsonWriter& w, const rapidjson::Document& d, const char* task) {
  w.StartObject();
  w.Key("id");
  w.Uint(request_id(d));
  w.Key("task");
  w.String(task);
}

std::string end_reply(rapidjson::StringBuffer& buf, JsonWriter& w, bool with_success) {
  if (with_success) {
    w.Key("success");
    w.Bool(true);
  }
  w.EndObject();
  return std::string(buf.GetString(), buf.GetSize());
}

std::string ok_reply(const rapidjson::Document& d, const char* task) {
  rapidjson::StringBuffer buf;
  JsonWriter w(buf);
  begin_reply(w, d, task);
  return end_reply(buf, w, true);
}

// A request of a known task that cannot be carried out: nothing changed, the operator is told.
std::string refuse(const rapidjson::Document& d, const char* task, const char* error) {
  print_text(std::string(task) + " refused: " + error + "\n");
  rapidjson::StringBuffer buf;
  JsonWriter w(buf);
  begin_reply(w, d, task);
  w.Key("success");
  w.Bool(false);
  w.Key("error");
  w.String(error);
  w.EndObject();
  return std::string(buf.GetString(), buf.GetSize());
}

// The "req" object of a request; false when it is present but not an object.
bool find_req(const rapidjson::Document& d, const rapidjson::Value*& req) {
  req = member(&d, "req");
  return req == nullptr || req->IsObject();
}

// JSON has no NaN or infinity; such a result is sent as null so the reply stays valid.
void write_real(JsonWriter& w, double v) {
  if (std::isfinite(v)) {
    w.Double(v);
  } else {
    w.Null();
  }
}

enum class Form { real, integer, integer_as_real };

struct Column {
  const char* key;
  Form form;
  const double* reals;
  const unsigned* integers;
};

// The "update" arrays, in reply order.
const Column kColumns[] = {
    {"max_vib_vel", Form::real, gv::vb_max_vib_target_vel, nullptr},
    {"max_vib_first_freq", Form::real, gv::vb_first_freq, nullptr},
    {"max_vib_first_order", Form::integer, nullptr, gv::vb_first_feat_order},
    {"max_vib_first_amp", Form::real, gv::vb_first_freq_vib_amp, nullptr},
    {"first_optimum_phase", Form::real, gv::vb_first_optimum_phase, nullptr},
    {"first_optimum_current", Form::real, gv::vb_first_optimum_current, nullptr},
    {"first_optimum_amp", Form::real, gv::vb_first_optimum_amp, nullptr},
    {"first_servo_param", Form::integer, nullptr, gv::vb_first_servo_param},
    {"max_vib_second_freq", Form::real, gv::vb_second_freq, nullptr},
    {"max_vib_second_order", Form::integer_as_real, nullptr, gv::vb_second_feat_order},
    {"max_vib_second_amp", Form::real, gv::vb_second_freq_vib_amp, nullptr},
    {"second_optimum_phase", Form::real, gv::vb_second_optimum_phase, nullptr},
    {"second_optimum_current", Form::real, gv::vb_second_optimum_current, nullptr},
    {"second_optimum_amp", Form::real, gv::vb_second_optimum_amp, nullptr},
    {"second_servo_param", Form::integer, nullptr, gv::vb_second_servo_param},
    {"max_vib_third_freq", Form::real, gv::vb_third_freq, nullptr},
    {"max_vib_third_order", Form::integer_as_real, nullptr, gv::vb_third_feat_order},
    {"max_vib_third_amp", Form::real, gv::vb_third_freq_vib_amp, nullptr},
    {"third_optimum_phase", Form::real, gv::vb_third_optimum_phase, nullptr},
    {"third_optimum_current", Form::real, gv::vb_third_optimum_current, nullptr},
    {"third_optimum_amp", Form::real, gv::vb_third_optimum_amp, nullptr},
    {"third_servo_param", Form::integer, nullptr, gv::vb_third_servo_param},
};
constexpr std::size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];

struct JointParams {
  short values[3][kJoints] = {};  // pole pairs, stator slots, axis ratio
};

const char* const kJointParamKeys[3] = {"motor_pole_pair", "stator_slots", "joint_ratio"};
const char* const kJointParamError[3] = {
    "motor_pole_pair must be an array of at least six integers in 0..32767",
    "stator_slots must be an array of at least six integers in 0..32767",
    "joint_ratio must be an array of at least six integers in 0..32767",
};

std::vector<short>* const kJointParamTables[3] = {&gv::robot_motor_pole_pair,
                                                  &gv::robot_stator_slots, &gv::robot_axis_ratio};

bool valid_joint_param(const rapidjson::Value* v) {
  if (v == nullptr || !v->IsArray() || v->Size() < static_cast<unsigned>(kJoints)) return false;
  for (const auto& e : v->GetArray()) {
    if (!e.IsInt() || e.GetInt() < 0 || e.GetInt() > 32767) return false;
  }
  return true;
}

void append_vector(std::string& out, const char* label, const std::vector<short>& v) {
  out += label;
  for (short x : v) out += std::to_string(x) + ' ';
  out += '\n';
}

std::string set_activation(rapidjson::Document& d, const char* task, bool value) {
  const rapidjson::Value* req = nullptr;
  if (!find_req(d, req)) return refuse(d, task, "req is not an object");
  int num = 0;
  if (const rapidjson::Value* n = member(req, "num")) {
    if (!n->IsInt() || n->GetInt() < 0 || n->GetInt() >= kJoints) {
      return refuse(d, task, "num must be an integer in 0..5");
    }
    num = n->GetInt();
  }
  gv::vb_activate_param[num].store(value);
  print_text(std::string(task) + ": " + std::to_string(num) + "\n");
  return ok_reply(d, task);
}

// Passes the parser's events on to the document, but ends the parse at the first value nested
// deeper than kMaxJsonDepth: no command is nested deeply, and the rest of such a payload is then
// never read nor built into a tree.
class DepthLimit {
 public:
  explicit DepthLimit(rapidjson::Document& d) : d_(d) {}
  bool Null() { return d_.Null(); }
  bool Bool(bool b) { return d_.Bool(b); }
  bool Int(int i) { return d_.Int(i); }
  bool Uint(unsigned u) { return d_.Uint(u); }
  bool Int64(std::int64_t i) { return d_.Int64(i); }
  bool Uint64(std::uint64_t u) { return d_.Uint64(u); }
  bool Double(double x) { return d_.Double(x); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) {
    return d_.RawNumber(s, n, copy);
  }
  bool String(const char* s, rapidjson::SizeType n, bool copy) { return d_.String(s, n, copy); }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) { return d_.Key(s, n, copy); }
  bool StartObject() { return ++depth_ <= WebServer::kMaxJsonDepth && d_.StartObject(); }
  bool EndObject(rapidjson::SizeType n) {
    --depth_;
    return d_.EndObject(n);
  }
  bool StartArray() { return ++depth_ <= WebServer::kMaxJsonDepth && d_.StartArray(); }
  bool EndArray(rapidjson::SizeType n) {
    --depth_;
    return d_.EndArray(n);
  }

 private:
  rapidjson::Document& d_;
  int depth_ = 0;
};

// Strict JSON, as the library's default parse, into d; false when the payload is not one JSON
// value or is nested too deeply. The iterative parser does not recurse, so the web thread's
// stack depth does not follow the payload's. c_str(): parsing stops at a NUL byte.
bool parse_request(const std::string& payload, rapidjson::Document& d) {
  bool ok = false;
  auto generate = [&](rapidjson::Document& target) {
    DepthLimit limit(target);
    rapidjson::StringStream in(payload.c_str());
    rapidjson::Reader reader;
    ok = !reader.Parse<rapidjson::kParseIterativeFlag>(in, limit).IsError();
    return ok;
  };
  d.Populate(generate);
  return ok;
}

}  // namespace

std::string WebServer::update(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  int test_state = 0;
  double snapshot[kColumnCount][kJoints];
  {
    std::lock_guard<std::mutex> tables(gv::table_mutex);
    test_state = gv::vb_test_state;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
      for (int j = 0; j < kJoints; ++j) {
        snapshot[c][j] =
            kColumns[c].form == Form::real ? kColumns[c].reals[j] : kColumns[c].integers[j];
      }
    }
  }
  rapidjson::StringBuffer buf;
  JsonWriter w(buf);
  w.SetMaxDecimalPlaces(8);
  begin_reply(w, d, "update");
  w.Key("test_state");
  w.Int(test_state);
  for (std::size_t c = 0; c < kColumnCount; ++c) {
    w.Key(kColumns[c].key);
    w.StartArray();
    for (int j = 0; j < kJoints; ++j) {
      // Integer columns were widened to double exactly; narrow them back for the writer.
      if (kColumns[c].form == Form::integer) {
        w.Uint(static_cast<unsigned>(snapshot[c][j]));
      } else {
        write_real(w, snapshot[c][j]);
      }
    }
    w.EndArray();
  }
  return end_reply(buf, w, false);
}

std::string WebServer::setTestMode(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  const rapidjson::Value* req = nullptr;
  if (!find_req(d, req)) return refuse(d, "setTestMode", "req is not an object");
  int mode = 0;
  if (const rapidjson::Value* m = member(req, "mode")) {
    if (!m->IsNumber()) return refuse(d, "setTestMode", "mode must be a number");
    const double value = m->GetDouble();
    // Range first: truncating a double outside int's range is undefined.
    if (!(value > -1.0 && value < 100.0)) {
      return refuse(d, "setTestMode", "mode must be 0..5 or 99");
    }
    mode = static_cast<int>(value);
    if (!((mode >= 0 && mode < kJoints) || mode == vb::kAllJointsMode)) {
      return refuse(d, "setTestMode", "mode must be 0..5 or 99");
    }
  }
  gv::vb_test_mode.store(mode);
  return ok_reply(d, "setTestMode");
}

std::string WebServer::getJointParam(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  JointParams params;
  {
    std::lock_guard<std::mutex> tables(gv::table_mutex);
    for (int t = 0; t < 3; ++t) {
      const std::vector<short>& v = *kJointParamTables[t];
      for (int j = 0; j < kJoints && j < static_cast<int>(v.size()); ++j)
        params.values[t][j] = v[j];
    }
  }
  rapidjson::StringBuffer buf;
  JsonWriter w(buf);
  begin_reply(w, d, "getJointParam");
  w.Key("req");
  w.StartObject();
  for (int t = 0; t < 3; ++t) {
    w.Key(kJointParamKeys[t]);
    w.StartArray();
    // Sign-extended to 32 bits and sent unsigned, as the UI has always read them.
    for (short v : params.values[t]) w.Uint(static_cast<unsigned>(static_cast<int>(v)));
    w.EndArray();
  }
  w.EndObject();
  return end_reply(buf, w, true);
}

std::string WebServer::setJointParam(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  const rapidjson::Value* req = nullptr;
  if (!find_req(d, req)) return refuse(d, "setJointParam", "req is not an object");
  const rapidjson::Value* arrays[3];
  for (int t = 0; t < 3; ++t) {
    arrays[t] = member(req, kJointParamKeys[t]);
    if (!valid_joint_param(arrays[t])) return refuse(d, "setJointParam", kJointParamError[t]);
  }

  std::vector<short> tables[3];
  unsigned orders[kJoints][3];
  {
    std::lock_guard<std::mutex> guard(gv::table_mutex);
    for (int t = 0; t < 3; ++t) {
      std::vector<short>& v = *kJointParamTables[t];
      if (v.size() < static_cast<std::size_t>(kJoints)) v.resize(kJoints, 0);
    }
    for (int j = 0; j < kJoints; ++j) {
      const short pole_pairs = static_cast<short>((*arrays[0])[j].GetInt());
      const short slots = static_cast<short>((*arrays[1])[j].GetInt());
      gv::robot_motor_pole_pair[j] = pole_pairs;
      gv::vb_feat_freq_order[j][0] = static_cast<unsigned>(pole_pairs);
      gv::vb_feat_freq_order[j][1] = static_cast<unsigned>(2 * pole_pairs);
      gv::robot_stator_slots[j] = slots;
      gv::vb_feat_freq_order[j][2] = static_cast<unsigned>(slots);
      gv::robot_axis_ratio[j] = static_cast<short>((*arrays[2])[j].GetInt());
    }
    for (int t = 0; t < 3; ++t) tables[t] = *kJointParamTables[t];
    for (int j = 0; j < kJoints; ++j) {
      for (int k = 0; k < 3; ++k) orders[j][k] = gv::vb_feat_freq_order[j][k];
    }
  }

  std::string report = "set joint param: \n";
  append_vector(report, "motor_pole_pair: ", tables[0]);
  append_vector(report, "stator_slots: ", tables[1]);
  append_vector(report, "joint_ratio: ", tables[2]);
  report += "feat freq order: \n";
  for (int j = 0; j < kJoints; ++j) {
    report += std::to_string(orders[j][0]) + ' ' + std::to_string(orders[j][1]) + ' ' +
              std::to_string(orders[j][2]) + '\n';
  }
  print_text(report);
  return ok_reply(d, "setJointParam");
}

std::string WebServer::startTest(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  gv::vb_test_cmd.store(1);
  return ok_reply(d, "startTest");
}

std::string WebServer::stopTest(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  gv::vb_test_cmd.store(0);
  return ok_reply(d, "stopTest");
}

std::string WebServer::setHighSpeedMode(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  const rapidjson::Value* req = nullptr;
  if (!find_req(d, req)) return refuse(d, "setHighSpeedMode", "req is not an object");
  const rapidjson::Value* hs = member(req, "high_speed");
  // Only the literal true switches it on; 1, "true" and the rest mean off.
  const bool high_speed = hs != nullptr && hs->IsTrue();
  gv::vb_high_speed_mode.store(high_speed);
  print_text(high_speed ? "set high speed: 1\n" : "set high speed: 0\n");
  return ok_reply(d, "setHighSpeedMode");
}

std::string WebServer::activateIDResult(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  return set_activation(d, "activateIDResult", true);
}

std::string WebServer::deactivateIDResult(rapidjson::Document& d) {
  std::lock_guard<std::mutex> lock(_data_mutex);
  return set_activation(d, "deactivateIDResult", false);
}

std::optional<std::string> WebServer::handle_command(const std::string& payload) {
  using Handler = std::string (*)(rapidjson::Document&);
  static const std::pair<const char*, Handler> kTasks[] = {
      {"update", &WebServer::update},
      {"setTestMode", &WebServer::setTestMode},
      {"getJointParam", &WebServer::getJointParam},
      {"setJointParam", &WebServer::setJointParam},
      {"startTest", &WebServer::startTest},
      {"stopTest", &WebServer::stopTest},
      {"setHighSpeedMode", &WebServer::setHighSpeedMode},
      {"activateIDResult", &WebServer::activateIDResult},
      {"deactivateIDResult", &WebServer::deactivateIDResult},
  };

  rapidjson::Document d;
  const bool parsed = parse_request(payload, d);
  const rapidjson::Value* task = parsed ? member(&d, "task") : nullptr;
  if (task == nullptr || !task->IsString()) {
    print_text("on_message recv a error format message\n\n");
    return std::nullopt;
  }
  const std::string name(task->GetString(), task->GetStringLength());
  for (const auto& [task_name, handler] : kTasks) {
    if (name != task_name) continue;
    std::string reply = handler(d);
    if (handler == &WebServer::setTestMode) print_text("reply: " + reply + "\n");
    return reply;
  }
  print_text("invalid ui command\n");
  return std::string();
}

}  // namespace vb
