#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

extern char** environ;

namespace vb {
namespace test {

Process::Process(const std::string& name, std::vector<std::string> argv,
                 const std::map<std::string, std::string>& env)
    : name_(name) {
  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) env_text.push_back(entry);
  }
  for (const auto& [key, value] : env) env_text.push_back(key + "=" + value);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Dies with the test process, also when CTest kills it at its time-out.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid_ < 0) {
    ::close(fds[0]);
    return;
  }
  read_fd_ = fds[0];
  reader_ = std::thread([this] { readLoop(); });
}

Process::~Process() {
  kill();
  if (reader_.joinable()) reader_.join();
  if (read_fd_ >= 0) ::close(read_fd_);
  // A failing case shows what its processes printed.
  if (quiet_) return;
  std::cerr << "--- output of " << name_ << " ---\n"
            << output() << "--- end of " << name_ << " ---\n";
}

void Process::readLoop() {
  char buf[4096];
  ssize_t n;
  while ((n = ::read(read_fd_, buf, sizeof buf)) > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    out_.append(buf, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  eof_ = true;
  changed_.notify_all();
}

bool Process::running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

void Process::signal(int sig) {
  if (running()) ::kill(pid_, sig);
}

std::optional<int> Process::wait(Seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // All it printed: the pipe may still hold output when the exit is seen.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, end + Seconds(5), [this] { return eof_ || read_fd_ < 0; });
  return status_;
}

void Process::kill() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  status_ = 128 + SIGKILL;
}

std::string Process::output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

int Process::countOf(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (std::size_t at = out_.find(text); at != std::string::npos;
       at = out_.find(text, at + text.size()))
    ++n;
  return n;
}

bool Process::waitFor(const std::string& text, Seconds timeout, int count) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (countOf(text) < count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_until(lock, end) == std::cv_status::timeout) {
      lock.unlock();
      return countOf(text) >= count;
    }
  }
  return true;
}

bool Process::waitForLine(const std::string& label, Seconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    const std::size_t at = out_.find(label);
    return at != std::string::npos && out_.find('\n', at) != std::string::npos;
  });
}

}  // namespace test
}  // namespace vb
