// The default model is identifiable exactly: a program-style identification of every joint finds
// the ground truth's worst speed, frequencies, optimum phases and currents.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reference_identification.h"
#include "sim/RobotModel.h"

namespace vb::sim {
namespace {

class DefaultJoint : public ::testing::TestWithParam<int> {};

TEST_P(DefaultJoint, ProgramStyleIdentificationFindsTheGroundTruth) {
  const int j = GetParam();
  RobotModel model;
  const JointTruth truth = model.groundTruth()[j];
  const testing::Identified id = testing::identify(model, j);

  EXPECT_NEAR(id.worst_speed, truth.worst_speed_rad_s, 1e-12);
  ASSERT_EQ(truth.components.size(), 3u);
  for (int x = 0; x < 3; ++x) {
    const ComponentTruth& c = truth.components[x];
    SCOPED_TRACE("slot " + std::to_string(x));
    EXPECT_EQ(id.feat_order[x], c.order);
    EXPECT_NEAR(id.freq[x], c.frequency_hz, 0.1221);  // within half a bin
    EXPECT_NEAR(id.phase[x], c.optimum_phase, 1e-9);
    EXPECT_NEAR(id.current[x], c.optimum_current, 1e-9);
    EXPECT_EQ(encodeServoWord(c.order, id.phase[x], id.current[x]), c.servo_word);
    std::printf("joint %d slot %d: f %.4f amp %.4f phase %.1f current %.1f residual %.5f\n", j, x,
                id.freq[x], id.amp[x], id.phase[x], id.current[x], id.residual[x]);
  }
}

INSTANTIATE_TEST_SUITE_P(AllJoints, DefaultJoint, ::testing::Range(0, kJoints),
                         [](::testing::TestParamInfo<int> const& info) {
                           return "Joint" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace vb::sim
