// The number of values in a grid of the schedule, counted as the stages form it: by repeated
// addition while not above the limit.
#pragma once

namespace vb::test {

inline unsigned gridCount(double start, double limit, double step) {
  unsigned n = 0;
  for (double v = start; !(v > limit); v += step) ++n;
  return n;
}

}  // namespace vb::test
