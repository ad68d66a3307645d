// Sample values shared by the wire tests, with the bytes the binary protocol makes of them.
#pragma once

#include <robot_types.h>
#include <thrift/protocol/TProtocol.h>

#include <cstdio>
#include <string>

#include "raw_reply_server.h"

namespace vb::test {

inline std::string hex(const std::string& bytes) {
  std::string out;
  char digits[4];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02x ", c);
    out += digits;
  }
  return out;
}

// Trigger options with a value in every field that differs from the default.
inline Op sampleOp() {
  Op op;
  op.time_or_dist_1 = 1;
  op.trig_io_1 = -2;
  op.trig_value_1 = true;
  op.trig_time_1 = 0.25;
  op.trig_dist_1 = -1.5;
  op.trig_event_1 = "start";
  op.time_or_dist_2 = 2;
  op.trig_io_2 = 7;
  op.trig_value_2 = false;
  op.trig_time_2 = 3.0;
  op.trig_dist_2 = 0.125;
  op.trig_event_2 = "";
  return op;
}

// sampleOp() as Op's writer puts it on the wire, field stop included.
inline WireBytes& sampleOpBytes(WireBytes& w) {
  using namespace apache::thrift::protocol;
  return w.field(T_BYTE, 1)
      .i8(1)
      .field(T_BYTE, 2)
      .i8(-2)
      .field(T_BOOL, 3)
      .boolean(true)
      .field(T_DOUBLE, 4)
      .dbl(0.25)
      .field(T_DOUBLE, 5)
      .dbl(-1.5)
      .field(T_STRING, 6)
      .str("start")
      .field(T_BYTE, 7)
      .i8(2)
      .field(T_BYTE, 8)
      .i8(7)
      .field(T_BOOL, 9)
      .boolean(false)
      .field(T_DOUBLE, 10)
      .dbl(3.0)
      .field(T_DOUBLE, 11)
      .dbl(0.125)
      .field(T_STRING, 12)
      .str("")
      .stop();
}

}  // namespace vb::test
