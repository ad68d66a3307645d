#pragma once

#include <string>

namespace RTT {

// The toolkit's logger. This layer keeps no log: only the scoped module name exists, and it
// prints nothing.
class Logger {
 public:
  // Names the module that logs for as long as it lives.
  class In {
   public:
    explicit In(const std::string& module);
    In(const In&) = delete;
    In& operator=(const In&) = delete;
    ~In();
  };
};

}  // namespace RTT
