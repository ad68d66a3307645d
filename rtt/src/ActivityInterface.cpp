#include <rtt/base/ActivityInterface.hpp>
#include <rtt/base/RunnableInterface.hpp>

namespace RTT {
namespace base {

// Runner and activity each let go of the other when they go, whichever goes first.
RunnableInterface::~RunnableInterface() {
  if (activity_ != nullptr && activity_->getRunner() == this) activity_->run(nullptr);
}
bool RunnableInterface::initialize() { return true; }
void RunnableInterface::finalize() {}

// isRunning() is virtual, so the constructor attaches the runner without asking it.
ActivityInterface::ActivityInterface(RunnableInterface* run) : runner_(run) {
  if (run != nullptr) run->setActivity(this);
}

ActivityInterface::~ActivityInterface() {
  RunnableInterface* r = getRunner();
  if (r != nullptr && r->getActivity() == this) r->setActivity(nullptr);
}

bool ActivityInterface::run(RunnableInterface* r) {
  if (isRunning()) return false;
  RunnableInterface* old = getRunner();
  if (old != nullptr && old->getActivity() == this) old->setActivity(nullptr);
  runner_.store(r, std::memory_order_release);
  if (r != nullptr) r->setActivity(this);
  return true;
}

}  // namespace base
}  // namespace RTT
