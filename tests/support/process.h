// A child process for tests that run the project's executables: its output collected, bounded
// waits on it, and killed when the handle goes, so a failing test still ends and cleans up.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vb {
namespace test {

using Seconds = std::chrono::duration<double>;

// A child process (fork and exec) whose stdout and stderr are collected in one text.
class Process {
 public:
  Process(const std::string& name, std::vector<std::string> argv,
          const std::map<std::string, std::string>& env = {});
  ~Process();  // SIGKILL if still running, then reaped
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  void signal(int sig);
  // Waits for the exit; its status (exit code, or 128 + signal), nothing at the deadline.
  std::optional<int> wait(Seconds timeout);
  void kill();  // SIGKILL and reap

  std::string output();
  // Leaves out the echo of the output when the handle goes (for the benchmark's own report).
  void quiet() { quiet_ = true; }
  // Waits until the output holds `text` at least `count` times.
  bool waitFor(const std::string& text, Seconds timeout, int count = 1);
  int countOf(const std::string& text);
  // Waits until the output holds a whole line that starts with `label`.
  bool waitForLine(const std::string& label, Seconds timeout);

 private:
  void readLoop();

  std::string name_;
  bool quiet_ = false;
  pid_t pid_ = -1;
  int read_fd_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  bool eof_ = false;
};

}  // namespace test
}  // namespace vb
