#include "VibrationTestHandler.h"

namespace vb {

void VibrationTestHandler::vibrationPhaseId(bool const&, unsigned char const&, double const&,
                                            double const&, double const&, double const&,
                                            double const&) {}

void VibrationTestHandler::vibrationCurrentId(bool const&, unsigned char const&, double const&,
                                              double const&, double const&, double const&) {}

}  // namespace vb
