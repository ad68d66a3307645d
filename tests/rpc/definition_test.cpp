// Checks robot.thrift, through the generator's JSON form of it, against the controller's method
// list: the order of the 164 methods, their result types, and the shape of their arguments.
// A slip in the definition would otherwise only show on the robot.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifndef VB_RPC_DEFINITION_JSON
#error "VB_RPC_DEFINITION_JSON must name the generator's JSON output"
#endif

namespace {

using rapidjson::Value;

const Value& member(const Value& object, const char* name) {
  static const Value kNull;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? kNull : it->value;
}

// A type object of the JSON form as the definition language spells it: "list<list<double>>".
std::string typeName(const Value& type) {
  const std::string id = member(type, "typeId").GetString();
  auto part = [&](const char* nested, const char* plain) {
    const Value& n = member(type, nested);
    return n.IsObject() ? typeName(n) : std::string(member(type, plain).GetString());
  };
  if (id == "list" || id == "set") return id + "<" + part("elemType", "elemTypeId") + ">";
  if (id == "map")
    return "map<" + part("keyType", "keyTypeId") + ", " + part("valueType", "valueTypeId") + ">";
  if (id == "struct" || id == "enum") return member(type, "class").GetString();
  return id;
}

// A field, argument or result: its nested type object when it has one, else its plain type id.
std::string typeOf(const Value& object, const char* nested, const char* plain) {
  const Value& n = member(object, nested);
  return n.IsObject() ? typeName(n) : std::string(member(object, plain).GetString());
}

class Definition : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream in(VB_RPC_DEFINITION_JSON);
    std::stringstream text;
    text << in.rdbuf();
    doc_.Parse(text.str().c_str());
  }

  void SetUp() override {
    ASSERT_FALSE(doc_.HasParseError()) << "cannot read " << VB_RPC_DEFINITION_JSON;
    ASSERT_EQ(doc_["services"].Size(), 1u);
  }

  const Value& service() const { return doc_["services"][0]; }
  const Value& methods() const { return service()["functions"]; }

  static rapidjson::Document doc_;
};

rapidjson::Document Definition::doc_;

struct FieldRow {
  int id;
  std::string name;
  std::string type;
};

TEST_F(Definition, NoNamespaceAndThreeStructsWithEveryFieldRequired) {
  EXPECT_EQ(doc_["namespaces"].MemberCount(), 0u);
  EXPECT_EQ(doc_["includes"].Size(), 0u);
  EXPECT_EQ(doc_["typedefs"].Size(), 0u);
  EXPECT_EQ(doc_["constants"].Size(), 0u);
  std::vector<std::string> enums;
  for (const auto& e : doc_["enums"].GetArray()) enums.push_back(e["name"].GetString());
  EXPECT_EQ(enums, (std::vector<std::string>{"StateRobot", "StateProgram", "OperationMode",
                                             "TaskState", "SafetyState"}));

  const std::vector<std::pair<std::string, std::vector<FieldRow>>> expected = {
      {"Op",
       {{1, "time_or_dist_1", "i8"},
        {2, "trig_io_1", "i8"},
        {3, "trig_value_1", "bool"},
        {4, "trig_time_1", "double"},
        {5, "trig_dist_1", "double"},
        {6, "trig_event_1", "string"},
        {7, "time_or_dist_2", "i8"},
        {8, "trig_io_2", "i8"},
        {9, "trig_value_2", "bool"},
        {10, "trig_time_2", "double"},
        {11, "trig_dist_2", "double"},
        {12, "trig_event_2", "string"}}},
      {"IOStatus",
       {{1, "analogCurrentOutputs", "list<double>"},
        {2, "analogVoltageOutputs", "list<double>"},
        {3, "digitalInputs", "list<bool>"},
        {4, "digitalOutputs", "list<bool>"},
        {5, "toolIOIn", "list<bool>"},
        {6, "toolIOOut", "list<bool>"},
        {7, "toolButton", "list<bool>"}}},
      {"RobotStatus",
       {{1, "jointExpectPosition", "list<double>"},
        {2, "jointExpectVelocity", "list<double>"},
        {3, "jointExpectAccelera", "list<double>"},
        {4, "jointActualPosition", "list<double>"},
        {5, "jointActualVelocity", "list<double>"},
        {6, "jointActualAccelera", "list<double>"},
        {7, "jointActualCurrent", "list<double>"},
        {8, "jointTemperature", "list<double>"},
        {9, "driverTemperature", "list<double>"},
        {10, "cartExpectPosition", "list<double>"},
        {11, "cartExpectVelocity", "list<double>"},
        {12, "cartExpectAccelera", "list<double>"},
        {13, "cartActualPosition", "list<double>"},
        {14, "cartActualVelocity", "list<double>"},
        {15, "cartActualAccelera", "list<double>"},
        {16, "slaveReady", "list<bool>"},
        {17, "collision", "bool"},
        {18, "collisionAxis", "i8"},
        {19, "emcStopSignal", "bool"},
        {20, "robotState", "i8"},
        {21, "robotError", "i32"}}},
  };
  const Value& structs = doc_["structs"];
  ASSERT_EQ(structs.Size(), expected.size());
  for (size_t s = 0; s < expected.size(); ++s) {
    const Value& st = structs[static_cast<rapidjson::SizeType>(s)];
    EXPECT_EQ(st["name"].GetString(), expected[s].first);
    EXPECT_FALSE(st["isException"].GetBool());
    EXPECT_FALSE(st["isUnion"].GetBool());
    const Value& fields = st["fields"];
    ASSERT_EQ(fields.Size(), expected[s].second.size()) << expected[s].first;
    for (size_t f = 0; f < expected[s].second.size(); ++f) {
      const Value& field = fields[static_cast<rapidjson::SizeType>(f)];
      const FieldRow& row = expected[s].second[f];
      SCOPED_TRACE(expected[s].first + "." + row.name);
      EXPECT_EQ(field["key"].GetInt(), row.id);
      EXPECT_EQ(field["name"].GetString(), row.name);
      EXPECT_EQ(typeOf(field, "type", "typeId"), row.type);
      EXPECT_STREQ(field["required"].GetString(), "required");
      EXPECT_FALSE(field.HasMember("default"));
    }
  }
}

TEST_F(Definition, The164MethodsStandInInterfaceOrder) {
  const std::string order = R"(
    power_on power_off enable disable shutdown stop pause resume run_program set_tool_data
    get_tool_load get_tcp_offset set_wobj set_wobj_offset get_wobj cal_fkine cal_ikine
    set_standard_digital_out set_tool_digital_out get_standard_digital_in get_standard_digital_out
    get_tool_digital_in get_tool_digital_out get_config_digital_in get_standard_analog_voltage_in
    get_tool_analog_voltage_in get_standard_analog_current_in set_standard_analog_voltage_out
    set_standard_analog_current_out read_data_485 read_raw_data_485 read_raw_data_485_ht
    read_raw_data_485_h write_data_485 write_raw_data_485 write_raw_data_485_h
    write_raw_data_485_ht tool_read_data_485 tool_read_raw_data_485 tool_read_raw_data_485_h
    tool_read_raw_data_485_ht tool_write_data_485 tool_write_raw_data_485
    tool_write_raw_data_485_h tool_write_raw_data_485_ht read_data_can read_raw_data_can
    write_data_can write_raw_data_can get_function_digital_in get_function_digital_out
    read_bool_reg read_word_reg read_float_reg write_bool_reg write_word_reg write_float_reg
    get_function_reg_in get_function_reg_out movej movej_pose movej2 movej_pose2 movel movec
    move_circle tcp_move tcp_move_2p spline speedj speedl speed_stop servoj servoj_pose servo_tcp
    teach_mode end_teach_mode modbus_add_signal modbus_delete_signal modbus_read modbus_write
    modbus_set_frequency get_last_error get_noneblock_taskstate log_info log_error simulation
    speed get_robot_state get_flange_pose get_flange_speed get_flange_acceleration get_tcp_pose
    get_tcp_speed get_tcp_acceleration get_tcp_force get_actual_joints_position
    get_target_joints_position get_actual_joints_speed get_target_joints_speed
    get_actual_joints_acceleration get_target_joints_acceleration get_actual_joints_torque
    get_target_joints_torque stop_record_track start_record_track collision_detect replay
    set_load_data fc_start fc_stop fc_config fc_move fc_guard_act fc_guard_deact
    fc_force_set_value fc_wait_pos fc_wait_vel fc_wait_ft fc_wait_logic fc_get_ft
    fc_mode_is_active start_realtime_mode change_recipe end_realtime_mode
    enable_speed_optimization disable_speed_optimization set_system_value_bool
    set_system_value_double set_system_value_str set_system_value_list get_system_value_bool
    get_system_value_double get_system_value_str get_system_value_list trackEnqueue
    trackClearQueue getQueueSize trackJointMotion trackCartMotion rpc_heartbeat move_spiral
    enable_acc_optimization disable_acc_optimization set_baudrate_485 set_baudrate_can
    set_analog_output_mode robotmoving modbus_write_multiple_coils modbus_write_multiple_regs
    get_current_project get_files_list getRobotStatus getRobotIOStatus get_tcp_pose_coord
    get_tcp_force_tool restart set_servo_config apply_servo_config get_motor_pole_pair_number
    get_motor_stator_slots get_axis_ratio collision_detection_reset set_servo_file_params)";
  std::istringstream words(order);
  std::vector<std::string> expected;
  for (std::string w; words >> w;) expected.push_back(w);
  ASSERT_EQ(expected.size(), 164u);

  std::vector<std::string> actual;
  for (const auto& m : methods().GetArray()) actual.push_back(m["name"].GetString());
  ASSERT_EQ(actual.size(), 164u);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i], expected[i]) << "method " << i + 1;
  }
  EXPECT_STREQ(service()["name"].GetString(), "RPCRobot");
  EXPECT_FALSE(service().HasMember("extends"));
}

// "1-10, 13, 55-57" as the list of indices it names.
std::set<int> indices(const std::string& ranges) {
  std::set<int> out;
  std::istringstream in(ranges);
  for (std::string item; std::getline(in, item, ',');) {
    const auto dash = item.find('-');
    const int first = std::stoi(item.substr(0, dash));
    const int last = dash == std::string::npos ? first : std::stoi(item.substr(dash + 1));
    for (int i = first; i <= last; ++i) out.insert(i);
  }
  return out;
}

TEST_F(Definition, ResultTypesByMethodIndex) {
  const std::vector<std::tuple<std::string, std::string, size_t>> results = {
      {"i32",
       "1-10, 13, 14, 18, 19, 28, 29, 53, 55-57, 60-81, 84, 87, 88, 105-120, 123, 125-131, "
       "136-140, 142-147, 149, 150, 157-159, 163, 164",
       87},
      {"bool", "20-24, 34-37, 42-45, 48-52, 58, 59, 122, 132, 148", 23},
      {"double", "25-27, 54, 133", 5},
      {"list<double>", "11, 12, 15-17, 90-104, 121, 135, 155, 156", 24},
      {"list<i8>", "30-33, 38-41, 46, 47, 89", 11},
      {"list<i16>", "160-162", 3},
      {"list<string>", "83", 1},
      {"string", "134, 151", 2},
      {"map<string, i32>", "152", 1},
      {"RobotStatus", "153", 1},
      {"IOStatus", "154", 1},
      {"void", "82, 85, 86, 124, 141", 5},
  };
  std::map<int, std::string> expected;
  for (const auto& [type, ranges, count] : results) {
    const auto set = indices(ranges);
    EXPECT_EQ(set.size(), count) << type;
    for (int i : set) EXPECT_TRUE(expected.emplace(i, type).second) << "index " << i << " twice";
  }
  ASSERT_EQ(expected.size(), 164u);

  const Value& all = methods();
  ASSERT_EQ(all.Size(), 164u);
  std::map<std::string, size_t> counted;
  for (rapidjson::SizeType i = 0; i < all.Size(); ++i) {
    const std::string type = typeOf(all[i], "returnType", "returnTypeId");
    ++counted[type];
    EXPECT_EQ(type, expected[static_cast<int>(i) + 1])
        << "result of " << all[i]["name"].GetString() << " (" << i + 1 << ")";
  }
  for (const auto& [type, ranges, count] : results) EXPECT_EQ(counted[type], count) << type;
}

TEST_F(Definition, ArgumentsAreNumberedFromOneWithDefaultRequirednessAndKnownTypes) {
  const std::set<std::string> allowed = {
      "bool",       "i8",        "i16",          "i32",
      "double",     "string",    "list<double>", "list<i8>",
      "list<bool>", "list<i16>", "list<i32>",    "list<list<double>>",
      "Op"};
  std::set<std::string> used;
  size_t withoutArguments = 0;
  for (const auto& m : methods().GetArray()) {
    const std::string name = m["name"].GetString();
    EXPECT_FALSE(m["oneway"].GetBool()) << name;
    EXPECT_EQ(m["exceptions"].Size(), 0u) << name;
    const Value& args = m["arguments"];
    if (args.Empty()) ++withoutArguments;
    for (rapidjson::SizeType k = 0; k < args.Size(); ++k) {
      const Value& arg = args[k];
      EXPECT_EQ(arg["key"].GetInt(), static_cast<int>(k) + 1) << name;
      EXPECT_STREQ(arg["required"].GetString(), "req_out") << name;
      EXPECT_FALSE(arg.HasMember("default")) << name;
      const std::string type = typeOf(arg, "type", "typeId");
      EXPECT_TRUE(allowed.count(type))
          << name << " argument " << arg["name"].GetString() << ": " << type;
      used.insert(type);
    }
  }
  EXPECT_EQ(withoutArguments, 47u);
  // A lone i8 is never an argument: bytes travel in list<i8> and inside Op.
  std::set<std::string> expectedUsed = allowed;
  expectedUsed.erase("i8");
  EXPECT_EQ(used, expectedUsed);
}

}  // namespace
