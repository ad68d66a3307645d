// Program entry: the toolkit's main (vb_rtt_main) calls ORO_main_impl, which brings up the web
// interface, then the test component on its 4 ms real-time activity, and idles for ever.
//
// Test hooks, read from the environment (defaults are the fixed ports): VB_WEB_PORT and
// VB_CONTROLLER_PORT move the two ports so that several instances can run side by side, and
// SIGUSR1 makes the idle main thread print the control cycle's lateness figures on stderr.
#include <rtt/os/main.h>
#include <signal.h>
#include <sys/resource.h>
#include <thrift/Thrift.h>  // GlobalOutput
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <rtt/Activity.hpp>
#include <string>

#include "ControlOutput.h"
#include "Global.h"
#include "VibrationTestHandler.h"
#include "WebServer.h"

namespace {

// A port from the environment: 1..65535, anything else gives the default.
unsigned short portFromEnv(const char* name, unsigned short fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || errno != 0 || value < 1 || value > 65535) {
    std::fprintf(stderr, "%s: not a port 1..65535, using %u\n", name, fallback);
    return fallback;
  }
  return static_cast<unsigned short>(value);
}

// The RPC library reports failed connects from the control thread: through the same channel, in
// the library's own format.
void printRpcError(const char* message) {
  const std::time_t now = std::time(nullptr);
  char when[26] = {};
  ctime_r(&now, when);
  when[24] = '\0';  // no line break
  vb::OutputLine(vb::OutputStream::kErr) << "Thrift: " << when << " " << message << '\n';
}

// Each web connection holds a descriptor; the web server caps them and pauses when none are
// left, but the usual soft limit (1024) is far below what the system allows the process.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::fprintf(stderr, "cannot raise the descriptor limit: %s\n", std::strerror(errno));
  }
}

void printCycleFigures(const RTT::Activity& activity) {
  const RTT::Activity::Figures f = activity.figures();
  std::fprintf(stderr,
               "cycle figures: cycles %llu overruns %llu lateness_us p50 %.0f p99 %.0f p999 %.0f "
               "max %.0f max_execution_us %.0f realtime %d\n",
               static_cast<unsigned long long>(f.cycles),
               static_cast<unsigned long long>(f.overruns), activity.latenessQuantile(0.5) / 1e3,
               activity.latenessQuantile(0.99) / 1e3, activity.latenessQuantile(0.999) / 1e3,
               f.max_lateness_ns / 1e3, f.max_execution_ns / 1e3, activity.isRealTime() ? 1 : 0);
}

}  // namespace

int ORO_main_impl(int argc, char** argv) {
  // An option is never a root folder: without this, "--help" would start a second robot client
  // beside the running instance.
  if (argc >= 2 && argv[1][0] == '-') {
    const std::string option = argv[1];
    std::fprintf(stderr, "usage: %s [root folder, default /home/TervinCobot/Halvane]\n", argv[0]);
    std::exit(option == "-h" || option == "--help" ? 0 : 2);
  }
  if (argc >= 2) {
    vb::GlobalValue::rootPath = argv[1];
  } else {
    vb::GlobalValue::rootPath = "/home/TervinCobot/Halvane";
  }

  raiseDescriptorLimit();

  // Blocked before any thread starts, so every thread inherits it and only the idle main thread
  // takes SIGUSR1 (in sigtimedwait below).
  sigset_t figures_signal;
  sigemptyset(&figures_signal);
  sigaddset(&figures_signal, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &figures_signal, nullptr);

  // The control thread's lines go through this writer, so that it never waits on standard output;
  // configure() already prints through it, in the same order as the cycles after it.
  vb::ControlOutput::startWriter();
  apache::thrift::GlobalOutput.setOutputFunction(&printRpcError);

  // rootPath is set before the web thread exists; the server serves from here on.
  std::shared_ptr<vb::WebServer> web =
      std::make_shared<vb::WebServer>(portFromEnv("VB_WEB_PORT", 11666));
  web->run();

  vb::VibrationTestHandler handler("hello", "127.0.0.1", portFromEnv("VB_CONTROLLER_PORT", 7003));
  RTT::Activity* activity = new RTT::Activity(ORO_SCHED_RT, 99, 0.004, nullptr, "Activity");
  handler.setActivity(activity);
  // Neither result stops start-up: without a controller the operator interface still runs.
  handler.configure();
  vb::ControlOutput::flush();  // the connection and motor-data lines are out before the cycles run
  handler.start();

  // Sleeps in 10-second steps; a SIGUSR1 wakes it to print the figures.
  const timespec step{10, 0};
  for (;;) {
    if (sigtimedwait(&figures_signal, nullptr, &step) == SIGUSR1) printCycleFigures(*activity);
  }
}
