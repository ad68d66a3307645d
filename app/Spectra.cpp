#include "VibrationTestHandler.h"

namespace vb {

void VibrationTestHandler::velocityErrorAnalysis(std::vector<double> const&, double const&,
                                                 std::vector<double>& freq,
                                                 std::vector<double>& amp,
                                                 std::vector<unsigned int>& peaks) {
  freq.clear();
  amp.clear();
  peaks.clear();
}

void VibrationTestHandler::velocityErrorAnalysisSpecific(std::vector<double> const&, double const&,
                                                         double const&, double&, double const&,
                                                         double&, double const&, double&) {}

}  // namespace vb
