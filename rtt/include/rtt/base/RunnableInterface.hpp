#pragma once

namespace RTT {
namespace base {

class ActivityInterface;

// What an activity runs. The activity calls initialize() once in its thread before the first
// cycle (a false result ends the thread), step() once per cycle and finalize() once after the
// last cycle. Not owned by the activity; either of the two may be destroyed first, but a runner
// must not be destroyed while its activity runs.
class RunnableInterface {
 public:
  RunnableInterface() = default;
  RunnableInterface(const RunnableInterface&) = delete;
  RunnableInterface& operator=(const RunnableInterface&) = delete;
  virtual ~RunnableInterface();

  virtual bool initialize();
  virtual void step() = 0;
  virtual void finalize();

  // The activity that runs this one, or null; set by ActivityInterface::run.
  ActivityInterface* getActivity() const { return activity_; }
  virtual void setActivity(ActivityInterface* activity) { activity_ = activity; }

 private:
  ActivityInterface* activity_ = nullptr;
};

}  // namespace base
}  // namespace RTT
