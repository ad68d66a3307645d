#include <rtt/os/main.h>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace {
const char* nameOf(const char* prog) { return prog != nullptr ? prog : ""; }
}  // namespace

int __os_init(int, char**) { return 0; }

int __os_checkException(int& argc, char** argv) {
  if (argv == nullptr) return 1;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], "--nocatch") == 0) {
      // Drop it, so that the program sees only its own arguments (argv[argc] stays null).
      for (int j = i; j < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      return 0;
    }
  }
  return 1;
}

void __os_printException(const char* prog, const std::exception& arg) {
  std::fprintf(stderr, "%s: ORO_main_impl ended with an exception: %s\n", nameOf(prog), arg.what());
}

void __os_printFailure(const char* prog) {
  std::fprintf(stderr, "%s: ORO_main_impl ended with an unknown exception\n", nameOf(prog));
}

void __os_exit() {
  std::cout.flush();
  std::fflush(nullptr);
}
