// The generated client against a fake controller that writes hand-made bytes: what each request
// puts on the wire, and how the client takes well-formed and malformed replies.
#include <gtest/gtest.h>
#include <thrift/TApplicationException.h>
#include <thrift/protocol/TProtocolException.h>

#include <climits>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "raw_reply_server.h"
#include "rpc_client.h"
#include "wire_samples.h"

namespace {

using apache::thrift::TApplicationException;
using apache::thrift::protocol::TProtocolException;
using namespace apache::thrift::protocol;  // wire type and message type constants
using vb::test::hex;
using vb::test::RawReplyServer;
using vb::test::RpcConnection;
using vb::test::sampleOp;
using vb::test::sampleOpBytes;
using vb::test::WireBytes;

std::string reply(const std::string& method, const WireBytes& result, int32_t seqid = 0) {
  return WireBytes().message(method, T_REPLY, seqid).raw(result.bytes()).bytes();
}

std::string i32Reply(const std::string& method, int32_t value, int32_t seqid = 0) {
  return reply(method, WireBytes().field(T_I32, 0).i32(value).stop(), seqid);
}

// An argument or result struct with no field: the field stop alone.
const WireBytes kEmptyStruct = WireBytes().stop();

enum class StatusReply { kFull, kExtraField22, kErrorAsDouble };

// A RobotStatus: list field k holds {k, k + 0.5}, then the flags and codes.
WireBytes robotStatus(StatusReply variant) {
  WireBytes w;
  for (int16_t id = 1; id <= 15; ++id) w.field(T_LIST, id).list(T_DOUBLE, 2).dbl(id).dbl(id + 0.5);
  w.field(T_LIST, 16).list(T_BOOL, 3).boolean(true).boolean(false).boolean(true);
  w.field(T_BOOL, 17).boolean(true).field(T_BYTE, 18).i8(3).field(T_BOOL, 19).boolean(true);
  w.field(T_BYTE, 20).i8(5);
  if (variant == StatusReply::kErrorAsDouble) {
    w.field(T_DOUBLE, 21).dbl(-70000.0);
  } else {
    w.field(T_I32, 21).i32(-70000);
  }
  if (variant == StatusReply::kExtraField22) {
    w.field(T_LIST, 22).list(T_STRING, 1).str("later controller release");
  }
  return w.stop();
}

WireBytes ioStatus(bool withToolButton) {
  WireBytes w;
  w.field(T_LIST, 1).list(T_DOUBLE, 2).dbl(4.0).dbl(20.0);
  w.field(T_LIST, 2).list(T_DOUBLE, 1).dbl(10.0);
  for (int16_t id = 3; id <= (withToolButton ? 7 : 6); ++id) {
    w.field(T_LIST, id).list(T_BOOL, id).boolean(true);
    for (int16_t k = 1; k < id; ++k) w.boolean(false);
  }
  return w.stop();
}

template <typename Call>
void expectMissingResult(const std::string& method, Call&& call) {
  try {
    call();
    ADD_FAILURE() << method << " returned without a result";
  } catch (const TApplicationException& e) {
    EXPECT_EQ(e.getType(), TApplicationException::MISSING_RESULT) << method;
    EXPECT_EQ(std::string(e.what()), method + " failed: unknown result");
  }
}

template <typename Call>
void expectInvalidData(Call&& call) {
  try {
    call();
    ADD_FAILURE() << "the call accepted a status record without all its fields";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
  }
}

struct RequestCase {
  const char* method;
  std::function<void(RPCRobotClient&)> call;
  WireBytes args;    // the argument struct the request must carry
  WireBytes result;  // what the fake controller answers
};

class ClientReply : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(server_.pendingReplies(), 0u) << "unused replies"; }

  // Makes each call against its queued reply and checks the request it put on the wire.
  void expectRequests(const std::vector<RequestCase>& cases) {
    for (const auto& c : cases) server_.pushReply(reply(c.method, c.result));
    for (const auto& c : cases) c.call(client_);
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].method);
      EXPECT_EQ(requests[i].name, cases[i].method);
      EXPECT_EQ(requests[i].messageType, T_CALL);
      EXPECT_EQ(requests[i].seqid, 0);
      EXPECT_EQ(hex(requests[i].body), hex(cases[i].args.bytes()));
    }
  }

  RawReplyServer server_;
  RpcConnection rpc_{server_.port()};
  RPCRobotClient& client_ = rpc_.client;
};

TEST_F(ClientReply, RequestsCarryTheDefinitionsIdsAndWireTypes) {
  const WireBytes i32Zero = WireBytes().field(T_I32, 0).i32(0).stop();
  const WireBytes boolTrue = WireBytes().field(T_BOOL, 0).boolean(true).stop();
  const WireBytes noBytes = WireBytes().field(T_LIST, 0).list(T_BYTE, 0).stop();
  WireBytes movej2Args = WireBytes()
                             .field(T_LIST, 1)
                             .list(T_DOUBLE, 2)
                             .dbl(0.5)
                             .dbl(-1.25)
                             .field(T_DOUBLE, 2)
                             .dbl(0.1)
                             .field(T_DOUBLE, 3)
                             .dbl(2.0)
                             .field(T_DOUBLE, 4)
                             .dbl(0.0)
                             .field(T_BOOL, 5)
                             .boolean(false)
                             .field(T_STRUCT, 6);
  sampleOpBytes(movej2Args).stop();
  // spline's fields 2 to 7 after its pose list.
  auto splineTail = [](WireBytes& w, double v, double a, const std::string& tool, bool block) {
    w.field(T_DOUBLE, 2).dbl(v).field(T_DOUBLE, 3).dbl(a).field(T_STRING, 4).str(tool);
    w.field(T_STRING, 5).str("").field(T_BOOL, 6).boolean(block);
    sampleOpBytes(w.field(T_STRUCT, 7)).stop();
  };
  WireBytes splineArgs = WireBytes().field(T_LIST, 1).list(T_LIST, 2).list(T_DOUBLE, 6);
  for (int k = 0; k < 6; ++k) splineArgs.dbl(k);
  splineArgs.list(T_DOUBLE, 3).dbl(10).dbl(11).dbl(12);
  splineTail(splineArgs, 0.3, 0.6, "tool0", true);
  WireBytes emptySplineArgs = WireBytes().field(T_LIST, 1).list(T_LIST, 0);
  splineTail(emptySplineArgs, 0, 0, "", false);

  const std::vector<RequestCase> cases = {
      {"stop", [](RPCRobotClient& c) { c.stop(false); },
       WireBytes().field(T_BOOL, 1).boolean(false).stop(), i32Zero},
      {"movej2",
       [](RPCRobotClient& c) {
         c.movej2({0.5, -1.25}, 0.1, 2.0, 0.0, false, sampleOp());
       },
       movej2Args, i32Zero},
      {"get_noneblock_taskstate", [](RPCRobotClient& c) { c.get_noneblock_taskstate(-9); },
       WireBytes().field(T_I32, 1).i32(-9).stop(), i32Zero},
      {"set_servo_config",
       [](RPCRobotClient& c) { c.set_servo_config(5, 43, 0x12345678, 0, false); },
       WireBytes()
           .field(T_I32, 1)
           .i32(5)
           .field(T_I32, 2)
           .i32(43)
           .field(T_I32, 3)
           .i32(0x12345678)
           .field(T_I32, 4)
           .i32(0)
           .field(T_BOOL, 5)
           .boolean(false)
           .stop(),
       i32Zero},
      {"apply_servo_config", [](RPCRobotClient& c) { c.apply_servo_config(3, true); },
       WireBytes().field(T_I32, 1).i32(3).field(T_BOOL, 2).boolean(true).stop(), i32Zero},
      {"set_servo_file_params",
       [](RPCRobotClient& c) { c.set_servo_file_params(2, 26, "VB_PARAM_3", 305419896.0, 0.0); },
       WireBytes()
           .field(T_I32, 1)
           .i32(2)
           .field(T_I32, 2)
           .i32(26)
           .field(T_STRING, 3)
           .str("VB_PARAM_3")
           .field(T_DOUBLE, 4)
           .dbl(305419896.0)
           .field(T_DOUBLE, 5)
           .dbl(0.0)
           .stop(),
       i32Zero},
      {"get_standard_digital_in", [](RPCRobotClient& c) { c.get_standard_digital_in(-3); },
       WireBytes().field(T_I16, 1).i16(-3).stop(), boolTrue},
      {"write_raw_data_485",
       [](RPCRobotClient& c) {
         c.write_raw_data_485({-56, 0, 127});
       },
       WireBytes().field(T_LIST, 1).list(T_BYTE, 3).raw(std::string("\xc8\x00\x7f", 3)).stop(),
       boolTrue},
      {"read_raw_data_485_h",
       [](RPCRobotClient& c) {
         std::vector<int8_t> out;
         c.read_raw_data_485_h(out, {}, 8);
       },
       WireBytes().field(T_LIST, 1).list(T_BYTE, 0).field(T_I32, 2).i32(8).stop(), noBytes},
      {"modbus_write_multiple_regs",
       [](RPCRobotClient& c) {
         c.modbus_write_multiple_regs(1, "regs", 16, {-32768, 1});
       },
       WireBytes()
           .field(T_I32, 1)
           .i32(1)
           .field(T_STRING, 2)
           .str("regs")
           .field(T_I32, 3)
           .i32(16)
           .field(T_LIST, 4)
           .list(T_I16, 2)
           .raw(std::string("\x80\x00\x00\x01", 4))
           .stop(),
       i32Zero},
      {"fc_force_set_value",
       [](RPCRobotClient& c) {
         c.fc_force_set_value({true, false, false, false, false, true}, {});
       },
       WireBytes()
           .field(T_LIST, 1)
           .list(T_BOOL, 6)
           .raw(std::string("\x01\x00\x00\x00\x00\x01", 6))
           .field(T_LIST, 2)
           .list(T_DOUBLE, 0)
           .stop(),
       i32Zero},
      {"fc_wait_logic",
       [](RPCRobotClient& c) {
         c.fc_wait_logic({1, -1});
       },
       WireBytes().field(T_LIST, 1).list(T_I32, 2).i32(1).i32(-1).stop(), i32Zero},
      {"spline",
       [](RPCRobotClient& c) {
         c.spline({{0, 1, 2, 3, 4, 5}, {10, 11, 12}}, 0.3, 0.6, "tool0", "", true, sampleOp());
       },
       splineArgs, i32Zero},
      {"spline", [](RPCRobotClient& c) { c.spline({}, 0, 0, "", "", false, sampleOp()); },
       emptySplineArgs, i32Zero},
      {"trackEnqueue",
       [](RPCRobotClient& c) {
         c.trackEnqueue({{1.0}, {}}, true);
       },
       WireBytes()
           .field(T_LIST, 1)
           .list(T_LIST, 2)
           .list(T_DOUBLE, 1)
           .dbl(1.0)
           .list(T_DOUBLE, 0)
           .field(T_BOOL, 2)
           .boolean(true)
           .stop(),
       i32Zero},
      {"log_info", [](RPCRobotClient& c) { c.log_info(""); },
       WireBytes().field(T_STRING, 1).str("").stop(), kEmptyStruct},
      {"get_files_list",
       [](RPCRobotClient& c) {
         std::map<std::string, int32_t> files;
         c.get_files_list(files, "/data");
       },
       WireBytes().field(T_STRING, 1).str("/data").stop(),
       WireBytes().field(T_MAP, 0).map(T_STRING, T_I32, 0).stop()},
  };

  expectRequests(cases);
}

TEST_F(ClientReply, MethodsWithoutArgumentsSendOnlyTheFieldStop) {
  const std::vector<RequestCase> cases = {
      {"get_robot_state",
       [](RPCRobotClient& c) {
         std::vector<int8_t> v;
         c.get_robot_state(v);
       },
       kEmptyStruct, WireBytes().field(T_LIST, 0).list(T_BYTE, 0).stop()},
      {"get_actual_joints_position",
       [](RPCRobotClient& c) {
         std::vector<double> v;
         c.get_actual_joints_position(v);
       },
       kEmptyStruct, WireBytes().field(T_LIST, 0).list(T_DOUBLE, 0).stop()},
      {"get_axis_ratio",
       [](RPCRobotClient& c) {
         std::vector<int16_t> v;
         c.get_axis_ratio(v);
       },
       kEmptyStruct, WireBytes().field(T_LIST, 0).list(T_I16, 0).stop()},
      {"robotmoving", [](RPCRobotClient& c) { c.robotmoving(); }, kEmptyStruct,
       WireBytes().field(T_BOOL, 0).boolean(false).stop()},
      {"get_current_project",
       [](RPCRobotClient& c) {
         std::string s;
         c.get_current_project(s);
       },
       kEmptyStruct, WireBytes().field(T_STRING, 0).str("p").stop()},
      {"get_last_error",
       [](RPCRobotClient& c) {
         std::vector<std::string> v;
         c.get_last_error(v);
       },
       kEmptyStruct, WireBytes().field(T_LIST, 0).list(T_STRING, 0).stop()},
      {"getRobotIOStatus",
       [](RPCRobotClient& c) {
         IOStatus s;
         c.getRobotIOStatus(s);
       },
       kEmptyStruct, WireBytes().field(T_STRUCT, 0).raw(ioStatus(true).bytes()).stop()},
      {"change_recipe", [](RPCRobotClient& c) { c.change_recipe(); }, kEmptyStruct, kEmptyStruct},
      {"trackClearQueue", [](RPCRobotClient& c) { c.trackClearQueue(); }, kEmptyStruct,
       WireBytes().field(T_I32, 0).i32(0).stop()},
      {"fc_mode_is_active", [](RPCRobotClient& c) { c.fc_mode_is_active(); }, kEmptyStruct,
       WireBytes().field(T_BOOL, 0).boolean(true).stop()},
      {"read_raw_data_can",
       [](RPCRobotClient& c) {
         std::vector<int8_t> v;
         c.read_raw_data_can(v);
       },
       kEmptyStruct, WireBytes().field(T_LIST, 0).list(T_BYTE, 0).stop()},
  };
  expectRequests(cases);
}

struct ResultCase {
  const char* method;
  std::function<void(RPCRobotClient&)> callAndCheck;  // calls and checks the slot kept its value
};

TEST_F(ClientReply, AReplyWithoutAUsableResultFailsAndLeavesTheSlot) {
  const std::vector<ResultCase> cases = {
      {"power_on",
       [](RPCRobotClient& c) { expectMissingResult("power_on", [&] { c.power_on(1); }); }},
      {"get_noneblock_taskstate",
       [](RPCRobotClient& c) {
         expectMissingResult("get_noneblock_taskstate", [&] { c.get_noneblock_taskstate(4); });
       }},
      {"get_standard_digital_in",
       [](RPCRobotClient& c) {
         expectMissingResult("get_standard_digital_in", [&] { c.get_standard_digital_in(0); });
       }},
      {"get_system_value_double",
       [](RPCRobotClient& c) {
         expectMissingResult("get_system_value_double", [&] { c.get_system_value_double("x"); });
       }},
      {"get_robot_state",
       [](RPCRobotClient& c) {
         std::vector<int8_t> slot{9, 9};
         expectMissingResult("get_robot_state", [&] { c.get_robot_state(slot); });
         EXPECT_EQ(slot, (std::vector<int8_t>{9, 9}));
       }},
      {"get_actual_joints_speed",
       [](RPCRobotClient& c) {
         std::vector<double> slot{1.5};
         expectMissingResult("get_actual_joints_speed", [&] { c.get_actual_joints_speed(slot); });
         EXPECT_EQ(slot, std::vector<double>{1.5});
       }},
      {"get_motor_stator_slots",
       [](RPCRobotClient& c) {
         std::vector<int16_t> slot{36};
         expectMissingResult("get_motor_stator_slots", [&] { c.get_motor_stator_slots(slot); });
         EXPECT_EQ(slot, std::vector<int16_t>{36});
       }},
      {"get_last_error",
       [](RPCRobotClient& c) {
         std::vector<std::string> slot{"old"};
         expectMissingResult("get_last_error", [&] { c.get_last_error(slot); });
         EXPECT_EQ(slot, std::vector<std::string>{"old"});
       }},
      {"get_system_value_str",
       [](RPCRobotClient& c) {
         std::string slot = "old";
         expectMissingResult("get_system_value_str", [&] { c.get_system_value_str(slot, "x"); });
         EXPECT_EQ(slot, "old");
       }},
      {"get_files_list",
       [](RPCRobotClient& c) {
         std::map<std::string, int32_t> slot{{"old", 1}};
         expectMissingResult("get_files_list", [&] { c.get_files_list(slot, "/"); });
         EXPECT_EQ(slot, (std::map<std::string, int32_t>{{"old", 1}}));
       }},
      {"getRobotStatus",
       [](RPCRobotClient& c) {
         RobotStatus slot;
         slot.robotError = 17;
         expectMissingResult("getRobotStatus", [&] { c.getRobotStatus(slot); });
         EXPECT_EQ(slot.robotError, 17);
       }},
      {"getRobotIOStatus",
       [](RPCRobotClient& c) {
         IOStatus slot;
         slot.toolButton = {true};
         expectMissingResult("getRobotIOStatus", [&] { c.getRobotIOStatus(slot); });
         EXPECT_EQ(slot.toolButton, std::vector<bool>{true});
       }},
  };
  // No field 0 at all, then a field 0 of a wire type that none of these results has.
  const std::vector<WireBytes> bodies = {
      kEmptyStruct, WireBytes().field(T_I64, 0).i64(4).stop(),
      WireBytes().field(T_STRING, 1).str("ok").field(T_I64, 0).i64(4).stop()};
  for (const auto& body : bodies) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.method);
      server_.pushReply(reply(c.method, body));
      c.callAndCheck(client_);
    }
  }
}

TEST_F(ClientReply, AnExceptionReplyThrowsTheControllersMessageAndKind) {
  server_.pushReply(WireBytes()
                        .message("get_actual_joints_speed", T_EXCEPTION, 0)
                        .field(T_STRING, 1)
                        .str("joint 3 not ready")
                        .field(T_I32, 2)
                        .i32(TApplicationException::INTERNAL_ERROR)
                        .stop()
                        .bytes());
  server_.pushReply(i32Reply("get_noneblock_taskstate", 4));
  std::vector<double> slot{2.0};
  try {
    client_.get_actual_joints_speed(slot);
    FAIL() << "an exception reply returned";
  } catch (const TApplicationException& e) {
    EXPECT_EQ(e.getType(), TApplicationException::INTERNAL_ERROR);
    EXPECT_STREQ(e.what(), "joint 3 not ready");
  }
  EXPECT_EQ(slot, std::vector<double>{2.0});
  // The exception was read whole: the connection stays in step.
  EXPECT_EQ(client_.get_noneblock_taskstate(1), 4);
}

TEST_F(ClientReply, AnySequenceIdIsAccepted) {
  const std::vector<int32_t> seqids = {0, 1, -1, 4242, INT32_MAX, INT32_MIN};
  for (int32_t seqid : seqids) server_.pushReply(i32Reply("get_noneblock_taskstate", 6, seqid));
  for (int32_t seqid : seqids) EXPECT_EQ(client_.get_noneblock_taskstate(3), 6) << seqid;
  for (const auto& request : server_.requests()) EXPECT_EQ(request.seqid, 0);
}

TEST_F(ClientReply, AnUnversionedReplyHeaderIsAccepted) {
  server_.pushReply(WireBytes()
                        .str("get_noneblock_taskstate")
                        .i8(T_REPLY)
                        .i32(12)
                        .field(T_I32, 0)
                        .i32(1)
                        .stop()
                        .bytes());
  EXPECT_EQ(client_.get_noneblock_taskstate(3), 1);
}

TEST_F(ClientReply, FieldsTheDefinitionDoesNotHaveAreSkippedAroundTheResult) {
  server_.pushReply(
      reply("get_noneblock_taskstate", WireBytes()
                                           .field(T_STRING, 5)
                                           .str("x")
                                           .field(T_STRUCT, 2)
                                           .raw(robotStatus(StatusReply::kFull).bytes())
                                           .field(T_I32, 0)
                                           .i32(4)
                                           .field(T_LIST, 9)
                                           .list(T_DOUBLE, 1)
                                           .dbl(1.0)
                                           .stop()));
  EXPECT_EQ(client_.get_noneblock_taskstate(1), 4);
}

TEST_F(ClientReply, VoidMethodsReturnOnAnEmptyResultAndSkipAnyFields) {
  server_.pushReply(reply("log_info", kEmptyStruct));
  server_.pushReply(reply("rpc_heartbeat",
                          WireBytes().field(T_I32, 0).i32(3).field(T_STRING, 4).str("x").stop()));
  server_.pushReply(reply("modbus_set_frequency", kEmptyStruct));
  server_.pushReply(i32Reply("get_noneblock_taskstate", 4));
  EXPECT_NO_THROW(client_.log_info("vibration test"));
  EXPECT_NO_THROW(client_.rpc_heartbeat(250));
  EXPECT_NO_THROW(client_.modbus_set_frequency("sig", 10));
  EXPECT_EQ(client_.get_noneblock_taskstate(1), 4);
}

TEST_F(ClientReply, AListResultReplacesTheCallersListWithExactlyTheReplysElements) {
  server_.pushReply(
      reply("get_actual_joints_speed", WireBytes().field(T_LIST, 0).list(T_DOUBLE, 0).stop()));
  WireBytes six = WireBytes().field(T_LIST, 0).list(T_DOUBLE, 6);
  for (int k = 0; k < 6; ++k) six.dbl(k * -0.5);
  server_.pushReply(reply("get_target_joints_speed", six.stop()));
  server_.pushReply(reply(
      "get_robot_state",
      WireBytes().field(T_LIST, 0).list(T_BYTE, 4).raw(std::string("\x05\x00\x05\xff", 4)).stop()));
  server_.pushReply(reply(
      "get_motor_pole_pair_number",
      WireBytes().field(T_LIST, 0).list(T_I16, 2).raw(std::string("\x00\x05\x80\x00", 4)).stop()));

  std::vector<double> speeds{9, 9, 9};
  client_.get_actual_joints_speed(speeds);
  EXPECT_TRUE(speeds.empty());
  client_.get_target_joints_speed(speeds);
  EXPECT_EQ(speeds, (std::vector<double>{0, -0.5, -1.0, -1.5, -2.0, -2.5}));
  std::vector<int8_t> state{1, 2, 3, 4, 5, 6, 7};
  client_.get_robot_state(state);
  EXPECT_EQ(state, (std::vector<int8_t>{5, 0, 5, -1}));
  std::vector<int16_t> poles{1, 2, 3, 4, 5, 6};
  client_.get_motor_pole_pair_number(poles);
  EXPECT_EQ(poles, (std::vector<int16_t>{5, -32768}));
}

TEST_F(ClientReply, AFilesListKeepsTheLaterValueOfARepeatedKey) {
  server_.pushReply(reply("get_files_list", WireBytes()
                                                .field(T_MAP, 0)
                                                .map(T_STRING, T_I32, 3)
                                                .str("b.prg")
                                                .i32(1)
                                                .str("a.prg")
                                                .i32(2)
                                                .str("b.prg")
                                                .i32(3)
                                                .stop()));
  std::map<std::string, int32_t> files{{"old.prg", 0}};
  client_.get_files_list(files, "/programs");
  EXPECT_EQ(files, (std::map<std::string, int32_t>{{"a.prg", 2}, {"b.prg", 3}}));
}

TEST_F(ClientReply, RobotStatusWithAnExtraFieldIsReadWhole) {
  for (auto variant : {StatusReply::kFull, StatusReply::kExtraField22}) {
    server_.pushReply(reply(
        "getRobotStatus", WireBytes().field(T_STRUCT, 0).raw(robotStatus(variant).bytes()).stop()));
    RobotStatus s;
    client_.getRobotStatus(s);
    const std::vector<double> RobotStatus::*lists[] = {
        &RobotStatus::jointExpectPosition, &RobotStatus::jointExpectVelocity,
        &RobotStatus::jointExpectAccelera, &RobotStatus::jointActualPosition,
        &RobotStatus::jointActualVelocity, &RobotStatus::jointActualAccelera,
        &RobotStatus::jointActualCurrent,  &RobotStatus::jointTemperature,
        &RobotStatus::driverTemperature,   &RobotStatus::cartExpectPosition,
        &RobotStatus::cartExpectVelocity,  &RobotStatus::cartExpectAccelera,
        &RobotStatus::cartActualPosition,  &RobotStatus::cartActualVelocity,
        &RobotStatus::cartActualAccelera};
    for (int id = 1; id <= 15; ++id) {
      EXPECT_EQ(s.*lists[id - 1], (std::vector<double>{double(id), id + 0.5})) << "field " << id;
    }
    EXPECT_EQ(s.slaveReady, (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(s.collision);
    EXPECT_EQ(s.collisionAxis, 3);
    EXPECT_TRUE(s.emcStopSignal);
    EXPECT_EQ(s.robotState, 5);
    EXPECT_EQ(s.robotError, -70000);
  }
}

TEST_F(ClientReply, StatusRecordsWithoutAllTheirFieldsAreInvalidData) {
  server_.pushReply(reply(
      "getRobotStatus",
      WireBytes().field(T_STRUCT, 0).raw(robotStatus(StatusReply::kErrorAsDouble).bytes()).stop()));
  RobotStatus robot;
  expectInvalidData([&] { client_.getRobotStatus(robot); });

  // The connection is out of step after the failed read; the server serves the next one.
  rpc_.transport->close();
  RpcConnection fresh(server_.port());
  server_.pushReply(reply("getRobotIOStatus",
                          WireBytes().field(T_STRUCT, 0).raw(ioStatus(false).bytes()).stop()));
  IOStatus io;
  expectInvalidData([&] { fresh.client.getRobotIOStatus(io); });
}

TEST_F(ClientReply, AFullIOStatusIsRead) {
  server_.pushReply(
      reply("getRobotIOStatus", WireBytes().field(T_STRUCT, 0).raw(ioStatus(true).bytes()).stop()));
  IOStatus io;
  client_.getRobotIOStatus(io);
  EXPECT_EQ(io.analogCurrentOutputs, (std::vector<double>{4.0, 20.0}));
  EXPECT_EQ(io.analogVoltageOutputs, std::vector<double>{10.0});
  EXPECT_EQ(io.digitalInputs, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(io.digitalOutputs, (std::vector<bool>{true, false, false, false}));
  EXPECT_EQ(io.toolIOIn.size(), 5u);
  EXPECT_EQ(io.toolIOOut.size(), 6u);
  EXPECT_EQ(io.toolButton, (std::vector<bool>{true, false, false, false, false, false, false}));
}

}  // namespace
