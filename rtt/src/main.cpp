// The toolkit's start-up wrapper: the program's own entry is ORO_main_impl.
#include <rtt/os/main.h>

#include <exception>
#include <rtt/Logger.hpp>
#include <string>

int main(int argc, char** argv) {
  const char* prog = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
  const std::string scope = std::string(prog) + "::main()";
  __os_init(argc, argv);
  RTT::Logger::In in(scope);
  if (__os_checkException(argc, argv)) {
    try {
      ORO_main_impl(argc, argv);
    } catch (const std::exception& e) {
      __os_printException(prog, e);
    } catch (...) {
      __os_printFailure(prog);
    }
  } else {
    ORO_main_impl(argc, argv);
  }
  __os_exit();
  // ORO_main_impl of this program never returns; getting here means it failed.
  return -1;
}
