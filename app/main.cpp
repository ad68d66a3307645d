// Program entry: the toolkit's main (vb_rtt_main) calls ORO_main_impl, which brings up the web
// interface, then the test component on its 4 ms real-time activity, and idles for ever.
#include <rtt/os/main.h>
#include <unistd.h>

#include <memory>
#include <rtt/Activity.hpp>

#include "Global.h"
#include "VibrationTestHandler.h"
#include "WebServer.h"

int ORO_main_impl(int argc, char** argv) {
  if (argc >= 2) {
    vb::GlobalValue::rootPath = argv[1];
  } else {
    vb::GlobalValue::rootPath = "/home/TervinCobot/Halvane";
  }

  // rootPath is set before the web thread exists; the server serves from here on.
  std::shared_ptr<vb::WebServer> web = std::make_shared<vb::WebServer>(11666);
  web->run();

  vb::VibrationTestHandler handler("hello");
  handler.setActivity(new RTT::Activity(ORO_SCHED_RT, 99, 0.004, nullptr, "Activity"));
  // Neither result stops start-up: without a controller the operator interface still runs.
  handler.configure();
  handler.start();

  for (;;) sleep(10);
}
