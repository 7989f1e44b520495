// Interpreter tests: units, distance modes, modal motion and the order of a line's actions.
#include "interpreter.h"

#include <gtest/gtest.h>

#include <numbers>
#include <vector>

#include "test_support.h"

namespace kvgcode {
namespace {

using testing::MustParse;

// Runs a whole program and returns every action in order.
std::vector<Action> Interpret(std::string_view text) {
  const Program program = MustParse(text);
  Interpreter interpreter;
  ActionList list;
  std::vector<Action> actions;
  for (const Block& block : program.blocks) {
    const auto error = interpreter.Execute(block, list);
    EXPECT_FALSE(error) << error->detail;
    actions.insert(actions.end(), list.items.begin(), list.items.begin() + static_cast<std::ptrdiff_t>(list.count));
  }
  return actions;
}

std::vector<Move> Moves(std::string_view text) {
  std::vector<Move> moves;
  for (const Action& action : Interpret(text)) {
    if (action.kind == Action::Kind::Move) moves.push_back(action.move);
  }
  return moves;
}

TEST(InterpreterUnits, InchesScaleLinearAxesArcWordsAndFeedButNotRotaryAxes) {
  const auto moves = Moves("G20 G1 X1 Y2 Z-0.5 A10 F10\nG3 X3 Y2 R1\nG21 G1 X1 F10\n");
  ASSERT_EQ(moves.size(), 3u);
  EXPECT_DOUBLE_EQ(moves[0].end_units[0], 25.4);
  EXPECT_DOUBLE_EQ(moves[0].end_units[1], 50.8);
  EXPECT_DOUBLE_EQ(moves[0].end_units[2], -12.7);
  EXPECT_DOUBLE_EQ(moves[0].end_units[3], 10.0);
  EXPECT_DOUBLE_EQ(moves[0].feed_per_s, 254.0 / 60.0);
  EXPECT_NEAR(moves[1].arc.start_radius_mm, 25.4, 1e-9);  // R1 inch on a two-inch chord
  EXPECT_DOUBLE_EQ(moves[2].end_units[0], 1.0);
  EXPECT_DOUBLE_EQ(moves[2].feed_per_s, 10.0 / 60.0);
}

TEST(InterpreterUnits, FeedKeepsTheUnitsItWasGivenIn) {
  const auto moves = Moves("G20 F10\nG21 G1 X1\n");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_DOUBLE_EQ(moves[0].feed_per_s, 254.0 / 60.0);
}

TEST(InterpreterDistance, IncrementalAddsToThePositionAndArcCentresAreAlwaysRelative) {
  const auto moves = Moves("G91 G1 X1 Y1 F60\nX1\nG90 X10 Y0\nG3 X0 Y10 I-10 J0\nG91 G2 X10 Y-10 I10 J0\n");
  ASSERT_EQ(moves.size(), 5u);
  EXPECT_DOUBLE_EQ(moves[1].end_units[0], 2.0);
  EXPECT_DOUBLE_EQ(moves[1].end_units[1], 1.0);
  EXPECT_DOUBLE_EQ(moves[3].arc.centre.x_mm, 0.0);
  EXPECT_DOUBLE_EQ(moves[3].arc.centre.y_mm, 0.0);
  EXPECT_DOUBLE_EQ(moves[4].end_units[0], 10.0);
  EXPECT_DOUBLE_EQ(moves[4].end_units[1], 0.0);
  EXPECT_DOUBLE_EQ(moves[4].arc.centre.x_mm, 10.0);
}

TEST(InterpreterModal, AxisWordsAloneContinueTheLastMotion) {
  const auto moves = Moves("G0 X1\nY2\nG1 F100 X3\nZ-1\nG2 X5 Y2 I1 J0\nX7 Y2 I1 J0\n");
  ASSERT_EQ(moves.size(), 6u);
  EXPECT_EQ(moves[1].kind, MoveKind::Rapid);
  EXPECT_EQ(moves[3].kind, MoveKind::Linear);
  EXPECT_EQ(moves[5].kind, MoveKind::Arc);
  EXPECT_DOUBLE_EQ(moves[5].feed_per_s, 100.0 / 60.0);
}

TEST(InterpreterActions, OneLineRunsToolSpindleDwellThenMove) {
  const auto actions = Interpret("G1 X1 F10 G4 P0.5 M3 S80 T2 M6\n");
  ASSERT_EQ(actions.size(), 4u);
  EXPECT_EQ(actions[0].kind, Action::Kind::Tool);
  EXPECT_EQ(actions[0].tool, 2);
  EXPECT_EQ(actions[1].kind, Action::Kind::Spindle);
  EXPECT_EQ(actions[1].spindle_mcode, 3);
  EXPECT_EQ(actions[1].spindle_speed, 80.0);
  EXPECT_EQ(actions[2].kind, Action::Kind::Dwell);
  EXPECT_EQ(actions[2].dwell_s, 0.5);
  EXPECT_EQ(actions[3].kind, Action::Kind::Move);
}

TEST(InterpreterActions, SpeedChangeWhileRunningIsAnEventAndProgramEndStopsTheSpindle) {
  const auto actions = Interpret("S100\nM4\nS300\nM2\n");
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[0].spindle_mcode, 4);
  EXPECT_EQ(actions[0].spindle_speed, 100.0);
  EXPECT_EQ(actions[1].spindle_mcode, 4);
  EXPECT_EQ(actions[1].spindle_speed, 300.0);
  EXPECT_EQ(actions[2].spindle_mcode, 5);
  EXPECT_EQ(actions[2].line, 4);

  EXPECT_EQ(Interpret("S100\nM3\nM5\nM30\n").size(), 2u);  // already stopped: no second stop
}

TEST(InterpreterState, AFailedBlockChangesNothing) {
  const Program program = MustParse("G1 X1 F10\n");
  Interpreter interpreter;
  ActionList list;
  ASSERT_FALSE(interpreter.Execute(program.blocks[0], list));

  Block bad;
  bad.line = 2;
  bad.units = Units::Inches;
  bad.distance = DistanceMode::Incremental;
  bad.motion = MotionMode::ClockwiseArc;
  bad.axes[0] = 5.0;  // an arc with neither I/J nor R
  EXPECT_TRUE(interpreter.Execute(bad, list));
  EXPECT_EQ(list.count, 0u);
  EXPECT_DOUBLE_EQ(interpreter.position_units()[0], 1.0);

  Block next;
  next.axes[0] = 3.0;  // still G1, mm, absolute
  ASSERT_FALSE(interpreter.Execute(next, list));
  ASSERT_EQ(list.count, 1u);
  EXPECT_EQ(list.items[0].move.kind, MoveKind::Linear);
  EXPECT_DOUBLE_EQ(list.items[0].move.end_units[0], 3.0);
}

}  // namespace
}  // namespace kvgcode
