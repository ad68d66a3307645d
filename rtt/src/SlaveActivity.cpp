#include <rtt/extras/SlaveActivity.hpp>

namespace RTT {
namespace extras {

SlaveActivity::SlaveActivity(base::RunnableInterface* run) : SlaveActivity(0.0, run) {}

SlaveActivity::SlaveActivity(Seconds period, base::RunnableInterface* run)
    : ActivityInterface(run), period_(period) {}

SlaveActivity::~SlaveActivity() { stop(); }

bool SlaveActivity::start() {
  if (isRunning()) return false;
  base::RunnableInterface* r = getRunner();
  if (r != nullptr && !r->initialize()) return false;
  running_.store(true, std::memory_order_release);
  return true;
}

bool SlaveActivity::stop() {
  if (!isRunning()) return false;
  running_.store(false, std::memory_order_release);
  if (base::RunnableInterface* r = getRunner()) r->finalize();
  return true;
}

bool SlaveActivity::execute() {
  if (!isRunning()) return false;
  if (base::RunnableInterface* r = getRunner()) r->step();
  return true;
}

}  // namespace extras
}  // namespace RTT
