#pragma once

#include <memory>
#include <rtt/base/ActivityInterface.hpp>
#include <rtt/base/TaskCore.hpp>
#include <string>

namespace RTT {

// A named task with the TaskCore life cycle, driven by the activity it owns. Without an
// activity start() still succeeds but nothing calls updateHook.
//
// A derived component must stop() in its own destructor when it may still be running: the
// activity is stopped here only after the derived part is gone.
class TaskContext : public base::TaskCore {
 public:
  explicit TaskContext(const std::string& name, TaskState initial_state = Stopped);
  ~TaskContext() override;

  const std::string& getName() const { return name_; }

  // Takes ownership of new_act (null removes the activity) and deletes the previous one.
  // Refused while running, in which case the caller keeps new_act.
  virtual bool setActivity(base::ActivityInterface* new_act);
  base::ActivityInterface* getActivity() const { return activity_.get(); }

 private:
  std::string name_;
  std::unique_ptr<base::ActivityInterface> activity_;
};

}  // namespace RTT
