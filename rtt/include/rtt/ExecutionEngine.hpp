#pragma once

#include <rtt/base/RunnableInterface.hpp>

namespace RTT {

namespace base {
class TaskCore;
}

// The runner that an activity drives on behalf of one task: each step() is one update of the
// task (its updateHook while Running or RunTimeError). Owned by its task.
class ExecutionEngine : public base::RunnableInterface {
 public:
  explicit ExecutionEngine(base::TaskCore* owner);

  // Real-time safe: never throws; an exception from the hook puts the task in Exception.
  void step() override;
  base::TaskCore* getParent() const { return owner_; }

 private:
  base::TaskCore* owner_;
};

}  // namespace RTT
