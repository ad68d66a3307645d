// The five enums: every name and value, and the generated printing helpers.
#include <gtest/gtest.h>
#include <robot_types.h>

#include <map>
#include <sstream>
#include <string>

namespace {

using Names = std::map<int, std::string>;

Names asNames(const std::map<int, const char*>& generated) {
  Names names;
  for (const auto& [value, name] : generated) names[value] = name;
  return names;
}

TEST(RpcEnums, EveryEnumHoldsExactlyTheControllersCodes) {
  EXPECT_EQ(asNames(_StateRobot_VALUES_TO_NAMES), (Names{{0, "SR_Start"},
                                                         {1, "SR_Initialize"},
                                                         {2, "SR_Logout"},
                                                         {3, "SR_Login"},
                                                         {4, "SR_PowerOff"},
                                                         {5, "SR_Disable"},
                                                         {6, "SR_Enable"}}));
  EXPECT_EQ(asNames(_StateProgram_VALUES_TO_NAMES), (Names{{0, "SP_Stopped"},
                                                           {1, "SP_Stopping"},
                                                           {2, "SP_Running"},
                                                           {3, "SP_Paused"},
                                                           {4, "SP_Pausing"}}));
  EXPECT_EQ(asNames(_OperationMode_VALUES_TO_NAMES),
            (Names{{0, "kManual"}, {1, "kAuto"}, {2, "kRemote"}}));
  EXPECT_EQ(asNames(_TaskState_VALUES_TO_NAMES), (Names{{0, "ST_Idle"},
                                                        {1, "ST_Running"},
                                                        {2, "ST_Paused"},
                                                        {3, "ST_Stopped"},
                                                        {4, "ST_Finished"},
                                                        {5, "ST_Interrupt"},
                                                        {6, "ST_Error"},
                                                        {7, "ST_Illegal"},
                                                        {8, "ST_ParameterMismatch"}}));
  EXPECT_EQ(asNames(_SafetyState_VALUES_TO_NAMES), (Names{{0, "SS_INIT"},
                                                          {2, "SS_WAIT"},
                                                          {3, "SS_CONFIG"},
                                                          {4, "SS_POWER_OFF"},
                                                          {5, "SS_RUN"},
                                                          {6, "SS_RECOVERY"},
                                                          {7, "SS_STOP2"},
                                                          {8, "SS_STOP1"},
                                                          {9, "SS_STOP0"},
                                                          {10, "SS_MODEL"},
                                                          {12, "SS_REDUCE"},
                                                          {13, "SS_BOOT"},
                                                          {14, "SS_FAIL"},
                                                          {99, "SS_UPDATE"}}));
}

TEST(RpcEnums, TheCodesTheTestComparesWith) {
  EXPECT_EQ(TaskState::ST_Running, 1);
  EXPECT_EQ(TaskState::ST_Finished, 4);
  EXPECT_EQ(TaskState::ST_Error, 6);
  EXPECT_EQ(StateRobot::SR_Login, 3);
  EXPECT_EQ(StateRobot::SR_PowerOff, 4);
  EXPECT_EQ(StateProgram::SP_Stopped, 0);
  EXPECT_EQ(SafetyState::SS_RUN, 5);
  EXPECT_EQ(OperationMode::kAuto, 1);
}

template <typename Enum>
std::string streamed(Enum value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(RpcEnums, HelpersNameKnownValuesAndWriteOthersInDecimal) {
  EXPECT_EQ(::to_string(static_cast<TaskState::type>(4)), "ST_Finished");
  EXPECT_EQ(::to_string(static_cast<SafetyState::type>(11)), "11");
  EXPECT_EQ(streamed(static_cast<SafetyState::type>(99)), "SS_UPDATE");
  EXPECT_EQ(streamed(static_cast<StateRobot::type>(7)), "7");
  EXPECT_EQ(::to_string(static_cast<SafetyState::type>(1)), "1");
  EXPECT_EQ(streamed(static_cast<OperationMode::type>(2)), "kRemote");
  EXPECT_EQ(streamed(static_cast<StateProgram::type>(5)), "5");
}

}  // namespace
