#include <rtt/ExecutionEngine.hpp>
#include <rtt/base/TaskCore.hpp>

namespace RTT {

ExecutionEngine::ExecutionEngine(base::TaskCore* owner) : owner_(owner) {}

void ExecutionEngine::step() { owner_->cycle(); }

}  // namespace RTT
