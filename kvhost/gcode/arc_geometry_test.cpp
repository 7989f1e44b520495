// Arc geometry tests: centre and radius forms, direction, full circles and rounded CAM ends.
#include "arc_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace kvgcode {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr bool kClockwise = true;
constexpr bool kCounterClockwise = false;

void ExpectPoint(PlanarPoint actual, double x_mm, double y_mm) {
  EXPECT_NEAR(actual.x_mm, x_mm, 1e-9);
  EXPECT_NEAR(actual.y_mm, y_mm, 1e-9);
}

TEST(ArcFromCentre, QuarterCircleEitherWay) {
  const ArcBuild ccw = ArcFromCentre({10, 0}, {0, 10}, -10, 0, kCounterClockwise);
  ASSERT_TRUE(ccw.ok()) << ccw.error;
  ExpectPoint(ccw.path.centre, 0, 0);
  EXPECT_NEAR(ccw.path.sweep_rad, kPi / 2, 1e-12);
  EXPECT_NEAR(ArcPlanarLength_mm(ccw.path), 5 * kPi, 1e-9);
  ExpectPoint(ArcPointAt(ccw.path, 0.5), 10 * std::cos(kPi / 4), 10 * std::sin(kPi / 4));
  ExpectPoint(ArcPointAt(ccw.path, 1.0), 0, 10);

  const ArcBuild cw = ArcFromCentre({10, 0}, {0, 10}, -10, 0, kClockwise);
  ASSERT_TRUE(cw.ok());
  EXPECT_NEAR(cw.path.sweep_rad, -3 * kPi / 2, 1e-12);
  ExpectPoint(ArcPointAt(cw.path, 1.0 / 3.0), 0, -10);  // the long way round, through -Y
}

TEST(ArcFromCentre, EndAtStartIsAFullCircle) {
  const ArcBuild ccw = ArcFromCentre({5, 5}, {5, 5}, 0, -2, kCounterClockwise);
  ASSERT_TRUE(ccw.ok());
  EXPECT_DOUBLE_EQ(ccw.path.sweep_rad, 2 * kPi);
  ExpectPoint(ArcPointAt(ccw.path, 0.5), 5, 1);
  const ArcBuild cw = ArcFromCentre({5, 5}, {5, 5}, 0, -2, kClockwise);
  EXPECT_DOUBLE_EQ(cw.path.sweep_rad, -2 * kPi);
  ExpectPoint(ArcPointAt(cw.path, 0.25), 7, 3);
}

TEST(ArcFromCentre, RoundedEndIsFollowedAsASpiralThatLandsOnIt) {
  // As CAM output rounded to four decimals: the end is 0.00015 mm off the start's circle.
  const ArcBuild arc = ArcFromCentre({39.1869, 100.2771}, {38.6741, 100.845}, -0.4953, 0.0682, kCounterClockwise);
  ASSERT_TRUE(arc.ok()) << arc.error;
  ExpectPoint(ArcPointAt(arc.path, 1.0), 38.6741, 100.845);
  EXPECT_GT(std::fabs(arc.path.end_radius_mm - arc.path.start_radius_mm), 1e-5);
}

TEST(ArcFromCentre, RefusesAnEndFarOffTheCircle) {
  EXPECT_FALSE(ArcFromCentre({0, 0}, {2.5, 0}, 1, 0, kClockwise).ok());  // radius 1 vs 1.5
  EXPECT_TRUE(ArcFromCentre({0, 0}, {2.09, 0}, 1, 0, kClockwise).ok());  // within 10 %
}

TEST(ArcFromRadius, PositiveIsTheShortWayNegativeTheLongWay) {
  const ArcBuild short_way = ArcFromRadius({10, 0}, {0, 10}, 10, kCounterClockwise);
  ASSERT_TRUE(short_way.ok());
  ExpectPoint(short_way.path.centre, 0, 0);
  EXPECT_NEAR(short_way.path.sweep_rad, kPi / 2, 1e-12);

  const ArcBuild long_way = ArcFromRadius({10, 0}, {0, 10}, -10, kCounterClockwise);
  ASSERT_TRUE(long_way.ok());
  ExpectPoint(long_way.path.centre, 10, 10);
  EXPECT_NEAR(long_way.path.sweep_rad, 3 * kPi / 2, 1e-12);

  const ArcBuild clockwise = ArcFromRadius({10, 0}, {0, 10}, 10, kClockwise);
  ASSERT_TRUE(clockwise.ok());
  ExpectPoint(clockwise.path.centre, 10, 10);
  EXPECT_NEAR(clockwise.path.sweep_rad, -kPi / 2, 1e-12);
  ExpectPoint(ArcPointAt(clockwise.path, 1.0), 0, 10);
}

TEST(ArcFromRadius, HalfCircleToleratesRoundingButNotAShortRadius) {
  const ArcBuild half = ArcFromRadius({0, 0}, {2, 0}, 0.999, kClockwise);
  ASSERT_TRUE(half.ok()) << half.error;
  ExpectPoint(half.path.centre, 1, 0);
  EXPECT_NEAR(std::fabs(half.path.sweep_rad), kPi, 1e-12);
  EXPECT_FALSE(ArcFromRadius({0, 0}, {2, 0}, 0.99, kClockwise).ok());
}

}  // namespace
}  // namespace kvgcode
