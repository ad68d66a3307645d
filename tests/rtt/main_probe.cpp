// A program on the toolkit's start-up wrapper: it prints the arguments it gets, and its first
// argument may ask it to throw.
#include <rtt/os/main.h>

#include <iostream>
#include <stdexcept>
#include <string>

int ORO_main(int argc, char** argv) {
  std::cout << "args:";
  for (int i = 1; i < argc; ++i) std::cout << ' ' << argv[i];
  std::cout << '\n';
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "throw") throw std::runtime_error("probe failure");
  if (what == "throw-int") throw 7;
  return 0;
}
