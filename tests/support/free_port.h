// A TCP port that binds now, taken from [lo, hi]. Test ranges stay below the kernel's range for
// outgoing connections (32768 up by default), so that no client socket of a test running beside
// this one can take the port between this check and the bind of the process that uses it.
#pragma once

namespace vb {
namespace test {

// 0 when no port of the range binds.
int freePortIn(int lo, int hi);

}  // namespace test
}  // namespace vb
