// Text forms of RPC arguments and results, so that a call as the SDK made it and the same call as
// the fake controller received it can be compared as two strings.
#pragma once

#include <OvraCobot.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace vb::test {

inline std::string text(bool value) { return value ? "true" : "false"; }

template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
std::string text(T value) {
  return std::to_string(static_cast<long long>(value));
}

inline std::string text(double value) {
  std::ostringstream out;
  out.precision(17);
  out << value;
  return out.str();
}

inline std::string text(const std::string& value) { return '"' + value + '"'; }
inline std::string text(const char* value) { return text(std::string(value)); }

// Op and the SDK's OP have the same twelve fields; both print as the wire struct.
template <typename Options>
std::string options_text(const Options& op) {
  return "Op(" + text(op.time_or_dist_1) + "," + text(op.trig_io_1) + "," + text(op.trig_value_1) +
         "," + text(op.trig_time_1) + "," + text(op.trig_dist_1) + "," + text(op.trig_event_1) +
         "," + text(op.time_or_dist_2) + "," + text(op.trig_io_2) + "," + text(op.trig_value_2) +
         "," + text(op.trig_time_2) + "," + text(op.trig_dist_2) + "," + text(op.trig_event_2) +
         ")";
}
inline std::string text(const Op& op) { return options_text(op); }
inline std::string text(const OvraRPC::OP& op) { return options_text(op); }

template <typename T>
std::string text(const std::vector<T>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    out += (i ? "," : "") + text(static_cast<T>(values[i]));
  }
  return out + "]";
}

template <typename K, typename V>
std::string text(const std::map<K, V>& values) {
  std::string out = "{";
  for (const auto& [key, value] : values) {
    out += (out.size() > 1 ? "," : "") + text(key) + ":" + text(value);
  }
  return out + "}";
}

// CallText{"movej"}(joints, v, ...) gives "movej(<joints>,<v>,...)".
struct CallText {
  std::string name;
  template <typename... Args>
  std::string operator()(const Args&... args) const {
    std::string out;
    ((out += (out.empty() ? "" : ",") + text(args)), ...);
    return name + "(" + out + ")";
  }
};

}  // namespace vb::test
