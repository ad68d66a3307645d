// Every forwarding method of OvraRPC::OvraCobot as one row: how to call it, what it gives while
// its RPC fails, what the controller must receive, and what it gives when the controller answers.
#pragma once

#include <OvraCobot.h>

#include <functional>
#include <string>
#include <vector>

#include "recording_handler.h"

namespace vb::test {

struct MethodRow {
  std::string name;
  // The observed result while the RPC fails: the error value, or the out-parameter's content.
  std::string failed;
  // Makes the call and gives the observed result as text.
  std::function<std::string(OvraRPC::OvraCobot&)> call;
  // The call as the controller must record it.
  std::string sent;
  // The observed result when the controller answers from the script.
  std::function<std::string(const Script&)> answered;
};

// One row per forwarding method (move_circle and start_record_track have more, one per case);
// getRobotStatus and getRobotIOStatus have tests of their own.
std::vector<MethodRow> methodTable();

}  // namespace vb::test
