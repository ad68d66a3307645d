#include "VibrationTestHandler.h"

namespace vb {

void VibrationTestHandler::verifyIdResult(bool const&, unsigned char const&, double const&) {}

}  // namespace vb
