#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <rtt/base/RunnableInterface.hpp>
#include <thread>

namespace vb_test {

// Waits for a condition with a generous deadline, so that a slow machine only makes it slower.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Counts its steps and notes the scheduling of the thread that runs them.
class CountingRunner : public RTT::base::RunnableInterface {
 public:
  std::atomic<int> steps{0};
  std::atomic<int> policy{-1};
  std::atomic<int> priority{-1};
  std::function<void(int)> on_step;  // set before start; gets the step number from 1

  void step() override {
    sched_param param{};
    int p = -1;
    pthread_getschedparam(pthread_self(), &p, &param);
    policy.store(p);
    priority.store(param.sched_priority);
    const int n = steps.fetch_add(1) + 1;
    if (on_step) on_step(n);
  }
};

}  // namespace vb_test
