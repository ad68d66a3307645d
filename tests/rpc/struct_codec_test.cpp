// The generated struct readers and writers on an in-memory binary protocol: Op's round trip and
// text form, the required-field check, and the nesting guard.
#include <RPCRobot.h>
#include <gtest/gtest.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

#include <memory>
#include <sstream>
#include <string>

#include "wire_samples.h"

namespace {

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TProtocolException;
using apache::thrift::transport::TMemoryBuffer;
using namespace apache::thrift::protocol;  // wire type constants
using vb::test::hex;
using vb::test::WireBytes;

struct Memory {
  std::shared_ptr<TMemoryBuffer> buffer = std::make_shared<TMemoryBuffer>();
  TBinaryProtocol protocol{buffer};

  std::string bytes() const { return buffer->getBufferAsString(); }
  void load(const std::string& bytes) {
    buffer->resetBuffer();
    buffer->write(reinterpret_cast<const uint8_t*>(bytes.data()),
                  static_cast<uint32_t>(bytes.size()));
  }
};

template <typename Call>
void expectProtocolError(TProtocolException::TProtocolExceptionType type, Call&& call) {
  try {
    call();
    ADD_FAILURE() << "no TProtocolException";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), type);
  }
}

TEST(RpcStructs, AnOpIsWrittenFieldByFieldAndReadBack) {
  Memory m;
  const Op sent = vb::test::sampleOp();
  const uint32_t written = sent.write(&m.protocol);
  WireBytes expected;
  vb::test::sampleOpBytes(expected);
  EXPECT_EQ(hex(m.bytes()), hex(expected.bytes()));
  EXPECT_EQ(written, m.bytes().size());

  Op received;
  EXPECT_EQ(received.read(&m.protocol), written);
  EXPECT_EQ(received, sent);
  EXPECT_EQ(received.trig_io_1, -2);
  EXPECT_EQ(received.trig_event_1, "start");
  EXPECT_EQ(received.trig_dist_2, 0.125);
}

TEST(RpcStructs, ADefaultOpPrintsZerosAndEmptyEventNames) {
  std::ostringstream out;
  out << Op();
  EXPECT_EQ(out.str(),
            "Op(time_or_dist_1=0, trig_io_1=0, trig_value_1=0, trig_time_1=0, trig_dist_1=0, "
            "trig_event_1=, time_or_dist_2=0, trig_io_2=0, trig_value_2=0, trig_time_2=0, "
            "trig_dist_2=0, trig_event_2=)");
  std::ostringstream sample;
  vb::test::sampleOp().printTo(sample);
  EXPECT_EQ(sample.str(),
            "Op(time_or_dist_1=1, trig_io_1=-2, trig_value_1=1, trig_time_1=0.25, "
            "trig_dist_1=-1.5, trig_event_1=start, time_or_dist_2=2, trig_io_2=7, "
            "trig_value_2=0, trig_time_2=3, trig_dist_2=0.125, trig_event_2=)");
}

TEST(RpcStructs, AnOpWithoutEveryFieldIsInvalidData) {
  // Field 12 missing, and field 6 of the wrong wire type (skipped, so also missing).
  WireBytes full;
  vb::test::sampleOpBytes(full);
  const std::string bytes = full.bytes();
  const std::string withoutLast = bytes.substr(0, bytes.size() - 8) + std::string(1, '\0');
  WireBytes wrongType = WireBytes().field(T_BYTE, 1).i8(0).field(T_BYTE, 2).i8(0);
  wrongType.field(T_BOOL, 3).boolean(false).field(T_DOUBLE, 4).dbl(0).field(T_DOUBLE, 5).dbl(0);
  wrongType.field(T_I32, 6).i32(0).field(T_BYTE, 7).i8(0).field(T_BYTE, 8).i8(0);
  wrongType.field(T_BOOL, 9).boolean(false).field(T_DOUBLE, 10).dbl(0).field(T_DOUBLE, 11).dbl(0);
  wrongType.field(T_STRING, 12).str("").stop();
  for (const std::string& input : {withoutLast, wrongType.bytes()}) {
    Memory m;
    m.load(input);
    Op op;
    expectProtocolError(TProtocolException::INVALID_DATA, [&] { op.read(&m.protocol); });
  }
}

TEST(RpcStructs, NestingDeeperThan64FailsWithDepthLimit) {
  Memory out;
  EXPECT_EQ(out.protocol.getRecursionLimit(), 64u);
  for (int depth = 0; depth < 63; ++depth) out.protocol.incrementOutputRecursionDepth();
  // At depth 63 a struct still fits, and leaves the depth as it found it.
  const Op op = vb::test::sampleOp();
  op.write(&out.protocol);
  op.write(&out.protocol);
  bool block = true;
  RPCRobot_stop_pargs pargs;
  pargs.block = &block;
  pargs.write(&out.protocol);

  Memory in;
  in.load(out.bytes());
  for (int depth = 0; depth < 63; ++depth) in.protocol.incrementInputRecursionDepth();
  Op read;
  read.read(&in.protocol);
  read.read(&in.protocol);
  RPCRobot_stop_args args;
  args.read(&in.protocol);
  EXPECT_TRUE(args.__isset.block);
  EXPECT_TRUE(args.block);

  out.protocol.incrementOutputRecursionDepth();
  in.protocol.incrementInputRecursionDepth();
  in.load(out.bytes());
  expectProtocolError(TProtocolException::DEPTH_LIMIT, [&] { op.write(&out.protocol); });
  expectProtocolError(TProtocolException::DEPTH_LIMIT, [&] { pargs.write(&out.protocol); });
  expectProtocolError(TProtocolException::DEPTH_LIMIT, [&] { read.read(&in.protocol); });
  expectProtocolError(TProtocolException::DEPTH_LIMIT, [&] { args.read(&in.protocol); });
  RPCRobot_stop_presult presult;
  int32_t slot = 0;
  presult.success = &slot;
  expectProtocolError(TProtocolException::DEPTH_LIMIT, [&] { presult.read(&in.protocol); });
}

TEST(RpcStructs, ResultWritersDoNotCountDepth) {
  Memory out;
  for (int depth = 0; depth < 64; ++depth) out.protocol.incrementOutputRecursionDepth();
  EXPECT_THROW(out.protocol.incrementOutputRecursionDepth(), TProtocolException);
  RPCRobot_get_noneblock_taskstate_result result;
  result.success = 4;
  result.__isset.success = true;
  EXPECT_NO_THROW(result.write(&out.protocol));
  EXPECT_EQ(hex(out.bytes()), hex(WireBytes().field(T_I32, 0).i32(4).stop().bytes()));
}

TEST(RpcStructs, AResultIsWrittenOnlyOnceSet) {
  Memory out;
  RPCRobot_get_axis_ratio_result result;
  result.write(&out.protocol);
  EXPECT_EQ(hex(out.bytes()), "00 ");
}

}  // namespace
