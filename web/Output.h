// Standard output and error of the web thread. Each call writes its text with one stdio call and
// flushes, so the lines the control thread prints at the same time cannot tear it apart.
#pragma once

#include <cstdio>
#include <string>

namespace vb {

inline void print_text(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

inline void print_error(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace vb
