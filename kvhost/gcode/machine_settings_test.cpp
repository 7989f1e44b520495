// Settings check tests: sound settings pass, anything that would overflow a segment or is not a
// positive number is refused with a message naming it.
#include "machine_settings.h"

#include <gtest/gtest.h>

#include <limits>

#include "planner.h"

namespace kvgcode {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(CheckSettings, DefaultMillFitsCommonSegmentTimes) {
  for (double period_s : {0.001, 0.003, 0.01, 0.1}) {
    EXPECT_FALSE(CheckSettings(DefaultMillSettings(), period_s)) << period_s;
  }
}

TEST(CheckSettings, RefusesSpeedsThatOverflowASegment) {
  MachineSettings settings = DefaultMillSettings();
  settings.max_velocity_per_s[Index(Axis::Y)] = 1000;  // 1000 mm/s * 800 steps/mm * 50 ms = 40000
  const auto problem = CheckSettings(settings, 0.05);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("axis Y"), std::string::npos) << *problem;
  EXPECT_NE(problem->find("32767"), std::string::npos) << *problem;
  EXPECT_FALSE(CheckSettings(settings, 0.003));  // 2400 steps per segment is fine
}

TEST(CheckSettings, LimitLeavesRoomForRounding) {
  MachineSettings settings = DefaultMillSettings();
  settings.steps_per_unit.fill(1);
  settings.max_velocity_per_s[0] = 32765;  // plus two steps of rounding: exactly the limit
  EXPECT_FALSE(CheckSettings(settings, 1.0));
  settings.max_velocity_per_s[0] = 32766;
  EXPECT_TRUE(CheckSettings(settings, 1.0));
}

TEST(CheckSettings, RefusesBadSegmentTimes) {
  for (double period_s : {0.0, -0.003, kNan, kInf}) {
    const auto problem = CheckSettings(DefaultMillSettings(), period_s);
    ASSERT_TRUE(problem) << period_s;
    EXPECT_NE(problem->find("segment time"), std::string::npos);
  }
}

TEST(CheckSettings, RefusesNonPositiveOrNonFiniteAxisValues) {
  for (double bad : {0.0, -1.0, kNan, kInf}) {
    for (std::size_t axis = 0; axis < kAxisCount; ++axis) {
      MachineSettings steps = DefaultMillSettings();
      steps.steps_per_unit[axis] = bad;
      EXPECT_TRUE(CheckSettings(steps, 0.003)) << axis << " " << bad;
      MachineSettings speed = DefaultMillSettings();
      speed.max_velocity_per_s[axis] = bad;
      EXPECT_TRUE(CheckSettings(speed, 0.003)) << axis << " " << bad;
      MachineSettings accel = DefaultMillSettings();
      accel.acceleration_per_s2[axis] = bad;
      EXPECT_TRUE(CheckSettings(accel, 0.003)) << axis << " " << bad;
    }
  }
  MachineSettings fine_pitch = DefaultMillSettings();
  fine_pitch.steps_per_unit[Index(Axis::C)] = 2 * kMaxStepsPerUnit;
  EXPECT_TRUE(CheckAxisSettings(fine_pitch));
}

TEST(PlannerSettings, InvalidSettingsGiveAnErrorAndNoEvents) {
  const Program program = ParseProgram("G0 X10\n").program();
  MachineSettings settings = DefaultMillSettings();
  settings.max_velocity_per_s[0] = 1e6;
  Planner planner(program, settings, 0.003);
  ASSERT_TRUE(planner.error());
  PlanEvent event;
  EXPECT_FALSE(planner.Next(event));

  Planner bad_period(program, DefaultMillSettings(), 0.0);
  EXPECT_TRUE(bad_period.error());
  EXPECT_FALSE(bad_period.Next(event));
}

}  // namespace
}  // namespace kvgcode
