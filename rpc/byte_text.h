// Forced in front of the generated sources. The Thrift library's to_string streams an int8_t as a
// character, so the generated printTo would write the i8 fields of Op and RobotStatus as raw
// bytes (a NUL for 0). This overload, declared before the library's templates, prints them as
// decimal numbers instead.
#pragma once

#include <string>

namespace apache {
namespace thrift {

inline std::string to_string(const signed char& value) {
  return std::to_string(static_cast<int>(value));
}

}  // namespace thrift
}  // namespace apache
