#include "VibrationTestHandler.h"

namespace vb {

void VibrationTestHandler::velocityTraversal(bool const&, unsigned char const&, double const&,
                                             double const&, double const&, double const&) {}

}  // namespace vb
