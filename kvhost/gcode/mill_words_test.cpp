// The words mill post-processors write, each against positions worked out by hand: work offsets
// and G10/G92, tool lengths, G53, G28/G30, arcs in every plane and helices, the drilling cycles,
// inverse time feed, coolant and pauses; and the bundled post-style programs planned to their end.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "block_source.h"
#include "interpreter.h"
#include "move_path.h"
#include "plan_summary.h"
#include "test_support.h"

namespace kvgcode {
namespace {

constexpr double kTight = 1e-9;

struct Interpreted {
  std::vector<Action> actions;
  std::map<int, AxisArray<double>> at_line;  // machine position after each line
  std::optional<ParseError> error;
  WorkSetup setup_after;
};

Interpreted Interpret(std::string_view text, const WorkSetup& setup = WorkSetup{}) {
  Interpreted run;
  Interpreter interpreter(setup);
  ActionList list;
  std::vector<Word> words;
  Block block;
  int line = 0;
  std::size_t pos = 0;
  while (pos < text.size() && !interpreter.ended()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    ++line;
    if (auto error = DecodeLine(text.substr(pos, end - pos), line, words, block)) {
      run.error = error;
      break;
    }
    pos = end + 1;
    if (auto error = interpreter.Execute(block, list)) {
      run.error = ParseErrorAt(line, *error);
      break;
    }
    run.actions.insert(run.actions.end(), list.items.begin(), list.items.begin() + static_cast<std::ptrdiff_t>(list.count));
    run.at_line[line] = interpreter.position_units();
  }
  run.setup_after = interpreter.setup();
  return run;
}

std::vector<Move> Moves(const Interpreted& run) {
  std::vector<Move> moves;
  for (const Action& action : run.actions) {
    if (action.kind == Action::Kind::Move) moves.push_back(action.move);
  }
  return moves;
}

void ExpectAt(const AxisArray<double>& p, double x, double y, double z) {
  EXPECT_NEAR(p[0], x, kTight);
  EXPECT_NEAR(p[1], y, kTight);
  EXPECT_NEAR(p[2], z, kTight);
}

// The error of a program that must be refused, with its line and a part of its message.
void ExpectRefused(std::string_view text, int line, const std::string& part, const WorkSetup& setup = WorkSetup{}) {
  const Interpreted run = Interpret(text, setup);
  ASSERT_TRUE(run.error) << text;
  EXPECT_EQ(run.error->line, line) << run.error->message;
  EXPECT_NE(run.error->message.find(part), std::string::npos) << run.error->message;
}

WorkSetup MillSetup() {
  WorkSetup setup;
  setup.work_offsets[0] = {100, 50, -80, 0, 0, 0};  // G54
  setup.work_offsets[1] = {-20, 10, 5, 0, 0, 0};    // G55
  setup.tool_lengths = {{1, 40}, {2, 60}, {3, 35}};
  setup.g28_position = {10, 20, -5, 0, 0, 0};
  setup.g30_position = {200, 150, -10, 0, 0, 0};
  return setup;
}

TEST(WorkOffsets, G54ToG59AndG53MoveInTheirOwnCoordinates) {
  const Interpreted run = Interpret("G0 X1 Y2 Z3\nG55 X1 Y2 Z3\nG53 X0\nG0 Y0\nG54 Z0\nG59 X0 Y0 Z0\n", MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  ExpectAt(run.at_line.at(1), 101, 52, -77);  // G54 is in force from the start
  ExpectAt(run.at_line.at(2), -19, 12, 8);
  ExpectAt(run.at_line.at(3), 0, 12, 8);  // machine X0; the others stay
  ExpectAt(run.at_line.at(4), 0, 10, 8);  // back in G55
  ExpectAt(run.at_line.at(5), 0, 10, -80);
  ExpectAt(run.at_line.at(6), 0, 0, 0);  // G59 holds no offset
}

TEST(WorkOffsets, G10L2SetsAndL20MeasuresAndTheRunKeepsThem) {
  const Interpreted run = Interpret(
      "G10 L2 P2 X5 Y-5\n"       // G55 set outright
      "G55 G0 X1 Y1\n"           // machine 6, -4
      "G10 L20 P0 X0\n"          // G55 X made so that here reads 0: offset 6
      "G0 X2\n"                  // machine 8
      "G10 L20 P1 Y3 Z-1\n"      // G54 made so that here reads Y3 Z-1
      "G54 G0 Y0\n",
      MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  ExpectAt(run.at_line.at(2), 6, -4, 0);  // Z not named: it stays
  ExpectAt(run.at_line.at(4), 8, -4, 0);
  EXPECT_DOUBLE_EQ(run.setup_after.work_offsets[1][0], 6);
  EXPECT_DOUBLE_EQ(run.setup_after.work_offsets[1][1], -5);
  EXPECT_DOUBLE_EQ(run.setup_after.work_offsets[0][1], -7);  // -4 = 3 + offset
  EXPECT_DOUBLE_EQ(run.setup_after.work_offsets[0][2], 1);   // machine Z 0 = -1 + offset
  EXPECT_DOUBLE_EQ(run.setup_after.work_offsets[0][0], 100);  // not named: kept
  ExpectAt(run.at_line.at(6), 8, -7, 0);
}

TEST(WorkOffsets, G92ShiftsEverySystemAndG92Point1ClearsIt) {
  const Interpreted run = Interpret("G0 X10 Y0\nG92 X0 Y0\nG0 X5\nG55 X0 Y0\nG54 G92.1\nG0 X5\n", MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  ExpectAt(run.at_line.at(1), 110, 50, 0);
  EXPECT_DOUBLE_EQ(run.at_line.at(2)[0], 110);  // G92 does not move
  EXPECT_DOUBLE_EQ(run.at_line.at(3)[0], 115);
  ExpectAt(run.at_line.at(4), -20 + 10, 10 + 0, 0);  // G55 plus the G92 shift of 10 and 0
  EXPECT_DOUBLE_EQ(run.at_line.at(6)[0], 105);
  EXPECT_EQ(run.setup_after.g92_offset, (AxisArray<double>{}));
}

TEST(WorkOffsets, AFailedOffsetLineLeavesEveryOffsetAsItWas) {
  const Interpreted run = Interpret("G10 L2 P1 X5 Y2000000\n", MillSetup());
  ASSERT_TRUE(run.error);
  EXPECT_NE(run.error->message.find("out of range"), std::string::npos) << run.error->message;
  EXPECT_EQ(run.setup_after, MillSetup());
}

TEST(WorkOffsets, UnclearOrUnknownFormsAreRefused) {
  ExpectRefused("G10 L1 P1 Z3", 1, "L2 or L20");
  ExpectRefused("G10 L2 X1", 1, "G10 needs P0");
  ExpectRefused("G10 L2 P7 X1", 1, "G10 needs P0");
  ExpectRefused("G10 L2 P1 R45 X1", 1, "rotated");
  ExpectRefused("G91\nG10 L2 P1 X1", 2, "G91");
  ExpectRefused("G92", 1, "G92 needs axis words");
  ExpectRefused("G0 X1\nL2", 2, "L word without G10");
  ExpectRefused("G91 G53 G0 X1", 1, "G91");
  ExpectRefused("G53 G2 X1 Y1 I1 F100", 1, "G53 moves only with G0 or G1");
  ExpectRefused("G1 G10 L2 P1 X1 F100", 1, "belong to G10");
  ExpectRefused("G59.1", 1, "unsupported word");
  ExpectRefused("G92.2", 1, "unsupported word");
}

TEST(ToolLength, G43TakesTheTableLengthAlongZAndG49DropsIt) {
  const Interpreted run = Interpret("G0 Z10\nG43 H1 Z10\nG49 Z10\nT2 M6\nG43 Z10\nG43 H0 Z10\n", MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  EXPECT_DOUBLE_EQ(run.at_line.at(1)[2], -70);
  EXPECT_DOUBLE_EQ(run.at_line.at(2)[2], -30);
  EXPECT_DOUBLE_EQ(run.at_line.at(3)[2], -70);
  EXPECT_DOUBLE_EQ(run.at_line.at(5)[2], -10);  // G43 alone: the tool M6 put in the spindle
  EXPECT_DOUBLE_EQ(run.at_line.at(6)[2], -70);  // H0: no length
  ExpectRefused("G43 H9", 1, "kvhost/tool_length_9", MillSetup());
  ExpectRefused("T9 M6\nG43", 2, "tool 9 has no length", MillSetup());
  ExpectRefused("G0 X1 H1", 1, "H word without G43", MillSetup());
  ExpectRefused("G43 H1.5", 1, "whole number", MillSetup());
}

TEST(ToolLength, AnOffsetChangeWithoutZLeavesTheMachineWhereItIs) {
  const Interpreted run = Interpret("G0 Z10\nG43 H2\nG0 X0\nZ10\n", MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  ExpectAt(run.at_line.at(3), 100, 0, -70);  // X only: Z stays at -70
  EXPECT_DOUBLE_EQ(run.at_line.at(4)[2], -10);
}

TEST(ReturnMoves, G28AndG30GoThroughTheGivenPointToTheStoredOne) {
  const Interpreted run = Interpret("G0 X1 Y2 Z3\nG28 G91 Z0\nG90 G28 X5\nG30\nG28\n", MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  ExpectAt(run.at_line.at(2), 101, 52, -5);  // Z only
  const std::vector<Move> moves = Moves(run);
  // Line 3: rapid to G54 X5 (machine 105) first, then X to the stored 10; Y and Z stay.
  ASSERT_GE(moves.size(), 4u);
  EXPECT_DOUBLE_EQ(moves[2].end_units[0], 105);
  EXPECT_DOUBLE_EQ(moves[3].end_units[0], 10);
  ExpectAt(run.at_line.at(3), 10, 52, -5);
  ExpectAt(run.at_line.at(4), 200, 150, -10);  // every axis without axis words
  ExpectAt(run.at_line.at(5), 10, 20, -5);
  for (const Move& move : moves) EXPECT_EQ(move.kind, MoveKind::Rapid);
}

TEST(Arcs, TheZXAndYZPlanesTakeTheirOwnCentreWords) {
  // ZX: Z is the plane's first axis and X its second, so the centre is (Z+K, X+I).
  const Interpreted zx = Interpret("G18 G2 X10 Z0 I5 K0 F100\n");
  ASSERT_FALSE(zx.error) << zx.error->message;
  Move move = Moves(zx).at(0);
  EXPECT_EQ(move.arc.first_axis, 2u);
  EXPECT_EQ(move.arc.second_axis, 0u);
  AxisArray<double> middle = PointAt(move, 0.5);
  EXPECT_NEAR(middle[0], 5, kTight);
  EXPECT_NEAR(middle[2], -5, kTight);  // clockwise seen from +Y
  EXPECT_NEAR(PathLength(move), 5 * std::numbers::pi, kTight);

  const Interpreted yz = Interpret("G19 G2 Y10 Z0 X4 J5 K0 F100\n");
  ASSERT_FALSE(yz.error) << yz.error->message;
  move = Moves(yz).at(0);
  middle = PointAt(move, 0.5);
  EXPECT_NEAR(middle[1], 5, kTight);
  EXPECT_NEAR(middle[2], 5, kTight);
  EXPECT_NEAR(middle[0], 2, kTight);  // X moves straight alongside: a helix
  EXPECT_NEAR(PathLength(move), std::hypot(5 * std::numbers::pi, 4.0), kTight);

  ExpectRefused("G18 G2 X1 Z1 J1 F100", 1, "unsupported word");
  ExpectRefused("G19 G2 Y1 Z1 I1 F100", 1, "unsupported word");
  ExpectRefused("G18 G2 X1 F100", 1, "arc needs K/I or R");
}

TEST(Arcs, AHelixInTheXYPlaneClimbsEvenlyAndEndsOnItsZ) {
  const Interpreted run = Interpret("G17 G2 X10 Y0 Z-2 I5 J0 F100\n");
  ASSERT_FALSE(run.error) << run.error->message;
  const Move move = Moves(run).at(0);
  const AxisArray<double> quarter = PointAt(move, 0.5);
  EXPECT_NEAR(quarter[0], 5, kTight);
  EXPECT_NEAR(quarter[1], 5, kTight);
  EXPECT_NEAR(quarter[2], -1, kTight);
  EXPECT_EQ(PointAt(move, 1.0)[2], -2);
}

TEST(Arcs, G90Point1ReadsCentresAsPointsOfTheWorkSystem) {
  WorkSetup setup;
  setup.work_offsets[0] = {5, 0, 0, 0, 0, 0};
  const Interpreted run = Interpret("G0 X10 Y0\nG90.1 G3 X0 Y10 I0 J0 F100\nG91.1 G3 X-10 Y0 I0 J-10\n", setup);
  ASSERT_FALSE(run.error) << run.error->message;
  const std::vector<Move> moves = Moves(run);
  EXPECT_NEAR(moves[1].arc.centre.x_mm, 5, kTight);  // program (0, 0) is machine (5, 0)
  EXPECT_NEAR(moves[1].arc.centre.y_mm, 0, kTight);
  EXPECT_NEAR(moves[1].arc.sweep_rad, std::numbers::pi / 2, kTight);
  EXPECT_NEAR(moves[2].arc.centre.x_mm, 5, kTight);  // relative again: from (5, 10) by (0, -10)
  EXPECT_NEAR(moves[2].arc.centre.y_mm, 0, kTight);
}

TEST(InverseTime, FIsTheInverseOfTheMoveTimeAndEveryFeedMoveNeedsOne) {
  const Interpreted run = Interpret("G93 G1 X10 F6\nG2 X20 Y0 I5 J0 F30\nG94 F600\nG1 X0\n");
  ASSERT_FALSE(run.error) << run.error->message;
  const std::vector<Move> moves = Moves(run);
  EXPECT_NEAR(moves[0].feed_per_s, 1.0, kTight);  // 10 mm in a sixth of a minute
  EXPECT_NEAR(moves[1].feed_per_s, 5 * std::numbers::pi / 2.0, kTight);  // 5*pi mm in 2 s
  EXPECT_NEAR(moves[2].feed_per_s, 10.0, kTight);
  ExpectRefused("G93 G1 X10 F6\nX20", 2, "F on every feed move");
  ExpectRefused("G1 X1 F100\nG93 G1 X2 F1\nG94 X3", 3, "no feed rate");  // a rate of one mode is not the other's
  ExpectRefused("G93 G81 X1 Y1 Z-1 R1 F1", 1, "G94");
}

// One hole: the moves' ends in order, Z only where XY do not change.
std::vector<AxisArray<double>> Ends(const Interpreted& run) {
  std::vector<AxisArray<double>> ends;
  for (const Move& move : Moves(run)) ends.push_back(move.end_units);
  return ends;
}

TEST(DrillingCycles, G81WithG98ReturnsToTheStartLevelAndG99ToR) {
  const Interpreted run = Interpret("G0 Z10\nG98 G81 X5 Y5 Z-3 R2 F120\nX15\nG99 G81 X5 Y5 Z-3 R2\nG80\n");
  ASSERT_FALSE(run.error) << run.error->message;
  const auto ends = Ends(run);
  ASSERT_EQ(ends.size(), 1u + 4u + 4u + 4u);
  ExpectAt(ends[1], 5, 5, 10);  // rapid over the hole at the start level
  ExpectAt(ends[2], 5, 5, 2);   // rapid to R
  ExpectAt(ends[3], 5, 5, -3);  // feed to the bottom
  ExpectAt(ends[4], 5, 5, 10);  // G98: back to where the cycle began
  ExpectAt(ends[5], 15, 5, 10);
  ExpectAt(ends[8], 15, 5, 10);
  ExpectAt(ends[9], 5, 5, 10);  // the same cycle goes on: it began at 10
  ExpectAt(ends[12], 5, 5, 2);  // G99: R
  const std::vector<Move> moves = Moves(run);
  EXPECT_EQ(moves[3].kind, MoveKind::Linear);
  EXPECT_DOUBLE_EQ(moves[3].feed_per_s, 2.0);
  EXPECT_EQ(moves[4].kind, MoveKind::Rapid);
  ExpectRefused("G81 X1 Y1 Z-1 R1 F100\nG80\nX2", 3, "no motion mode");
}

TEST(DrillingCycles, BelowRTheCycleFirstRisesToR) {
  const Interpreted run = Interpret("G0 Z0\nG81 X3 Y0 Z-3 R2 F120\n");
  ASSERT_FALSE(run.error) << run.error->message;
  const auto ends = Ends(run);
  ASSERT_EQ(ends.size(), 5u);  // G0 Z0 goes nowhere: kept, as written
  ExpectAt(ends[1], 0, 0, 2);
  ExpectAt(ends[2], 3, 0, 2);
  ExpectAt(ends[3], 3, 0, -3);
  ExpectAt(ends[4], 3, 0, 2);
  EXPECT_DOUBLE_EQ(run.at_line.at(2)[2], 2);  // G98 above the start of 0: R, the higher
}

TEST(DrillingCycles, G83LeavesTheHoleBetweenPecksAndG73BacksOffALittle) {
  const Interpreted peck = Interpret("G0 Z10\nG83 X0 Y0 Z-5 R1 Q2 F100\n");
  ASSERT_FALSE(peck.error) << peck.error->message;
  std::vector<double> z;
  for (const auto& end : Ends(peck)) z.push_back(end[2]);
  const double c = kPeckClearance_mm;
  const std::vector<double> peck_z{10, 1, -1, 1, -1 + c, -3, 1, -3 + c, -5, 10};
  ASSERT_EQ(z.size(), peck_z.size());
  for (std::size_t i = 0; i < z.size(); ++i) EXPECT_NEAR(z[i], peck_z[i], kTight) << i;

  const Interpreted chip = Interpret("G0 Z10\nG73 X0 Y0 Z-5 R1 Q2 F100\n");
  ASSERT_FALSE(chip.error) << chip.error->message;
  z.clear();
  for (const auto& end : Ends(chip)) z.push_back(end[2]);
  const std::vector<double> chip_z{10, 1, -1, -1 + c, -3, -3 + c, -5, 10};
  ASSERT_EQ(z.size(), chip_z.size());
  for (std::size_t i = 0; i < z.size(); ++i) EXPECT_NEAR(z[i], chip_z[i], kTight) << i;
}

TEST(DrillingCycles, PeckCountsAtTheirBound) {
  // 10 mm of pecks of 0.001 mm is exactly the most a hole may take; a hair smaller is one more.
  EXPECT_FALSE(Interpret("G73 X0 Y0 Z-10 R0 Q0.001 F100\n").error);
  ExpectRefused("G73 X0 Y0 Z-10 R0 Q0.00099 F100\n", 1, "pecks per hole");
  const Interpreted one = Interpret("G83 X0 Y0 Z-1 R0 Q5 F100\n");  // Q deeper than the hole: one peck
  ASSERT_FALSE(one.error);
  EXPECT_EQ(Moves(one).size(), 2u);  // down, and back up to R
}

TEST(DrillingCycles, G82DwellsAtTheBottomAndG91CountsFromWhereZIs) {
  const Interpreted dwell = Interpret("G0 Z5\nG82 X1 Y1 Z-2 R1 P0.5 F60\n");
  ASSERT_FALSE(dwell.error) << dwell.error->message;
  ASSERT_EQ(dwell.actions.size(), 6u);
  EXPECT_EQ(dwell.actions[4].kind, Action::Kind::Dwell);
  EXPECT_DOUBLE_EQ(dwell.actions[4].dwell_s, 0.5);
  EXPECT_DOUBLE_EQ(dwell.actions[3].move.end_units[2], -2);

  const Interpreted incremental = Interpret("G0 X1 Z10\nG91 G99 G81 X5 Y0 Z-4 R-8 F100\nX5\n");
  ASSERT_FALSE(incremental.error) << incremental.error->message;
  const auto ends = Ends(incremental);
  ExpectAt(ends[1], 6, 0, 10);
  ExpectAt(ends[2], 6, 0, 2);   // R: 8 below where Z was
  ExpectAt(ends[3], 6, 0, -2);  // the bottom: 4 below R
  ExpectAt(incremental.at_line.at(3), 11, 0, -6);  // from Z 2 (G99): R at -6, the bottom at -10, back to R
}

TEST(DrillingCycles, MissingOrContradictoryWordsAreRefusedBeforeMotion) {
  ExpectRefused("G81 X1 Y1 Z-1 F100", 1, "no R plane");
  ExpectRefused("G81 X1 Y1 R1 F100", 1, "no bottom Z");
  ExpectRefused("G83 X1 Y1 Z-1 R1 F100", 1, "no peck depth Q");
  ExpectRefused("G82 X1 Y1 Z-1 R1 F100", 1, "no dwell P");
  ExpectRefused("G81 X1 Y1 Z-1 R1", 1, "no feed rate");
  ExpectRefused("G81 X1 Y1 Z2 R1 F100", 1, "below the R plane");
  ExpectRefused("G81 X1 Y1 Z1 R1 F100", 1, "below the R plane");
  ExpectRefused("G18 G81 X1 Y1 Z-1 R1 F100", 1, "XY plane");
  ExpectRefused("G81 X1 Y1 Z-1 R1 A5 F100", 1, "rotary");
  ExpectRefused("G81 G80 X1", 1, "two motion codes");
  ExpectRefused("G1 X1 F100 Q1", 1, "Q word without G83 or G73");
  ExpectRefused("G1 X1 F100 P1", 1, "P word without G4");
  ExpectRefused("G81 X1 Y1 Z-1 R1 F100\nX2 P1", 2, "P word without G4");
}

TEST(CoolantAndPauses, CoolantReportsEachChangeAndTheEndSwitchesItOff) {
  const Interpreted run = Interpret("M8\nM8\nM7\nM9\nM7 M8\nG0 X1 M0\nM1\nM30\n");
  ASSERT_FALSE(run.error) << run.error->message;
  std::vector<std::pair<bool, bool>> coolant;
  std::vector<bool> pauses;
  for (const Action& a : run.actions) {
    if (a.kind == Action::Kind::Coolant) coolant.emplace_back(a.mist, a.flood);
    if (a.kind == Action::Kind::Pause) pauses.push_back(a.optional_pause);
  }
  const std::vector<std::pair<bool, bool>> expected{{false, true}, {true, true}, {false, false}, {true, true},
                                                    {false, false}};
  EXPECT_EQ(coolant, expected);
  EXPECT_EQ(pauses, (std::vector<bool>{false, true}));
  // The pause of a line comes after its motion.
  std::size_t move_at = 0, pause_at = 0;
  for (std::size_t i = 0; i < run.actions.size(); ++i) {
    if (run.actions[i].kind == Action::Kind::Move) move_at = i;
    if (run.actions[i].kind == Action::Kind::Pause && pause_at == 0) pause_at = i;
  }
  EXPECT_LT(move_at, pause_at);
  ExpectRefused("M8 M9", 1, "two coolant codes");
  ExpectRefused("M0 M30", 1, "two program end or pause codes");
}

TEST(ProgramNumbers, AnONumberStandsAloneOnItsLine) {
  EXPECT_FALSE(Interpret("O1000\nO1000 (NAME)\nN5 O1001\nG0 X1\n").error);
  ExpectRefused("O1000 G0 X1", 1, "stand alone");
  ExpectRefused("o100 call", 1, "");
}

// The bundled programs in the styles of three posts, planned to the end on a machine whose
// G54, tool table and G28/G30 positions are MillSetup's.
struct PostProgram {
  const char* file;
  AxisArray<double> end;
  std::map<int, AxisArray<double>> on_the_way;  // line -> machine position after it
};

std::string ReadExample(const std::string& name) {
  std::ifstream in(std::string(KV_EXAMPLES_DIR) + "/posts/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class PostPrograms : public ::testing::TestWithParam<PostProgram> {};

TEST_P(PostPrograms, PlanToTheirHandWorkedEndStepForStep) {
  const PostProgram& expected = GetParam();
  const std::string text = ReadExample(expected.file);
  ASSERT_FALSE(text.empty()) << expected.file;
  const Interpreted run = Interpret(text, MillSetup());
  ASSERT_FALSE(run.error) << run.error->message;
  for (const auto& [line, position] : expected.on_the_way) {
    SCOPED_TRACE("line " + std::to_string(line));
    ExpectAt(run.at_line.at(line), position[0], position[1], position[2]);
  }
  const ParseResult parsed = ParseProgram(text, MillSetup());
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  MachineSettings settings = DefaultMillSettings();
  settings.work = MillSetup();
  const std::vector<PlanEvent> events = testing::PlanAll(parsed.program(), settings, 0.003);
  AxisArray<std::int64_t> sum{};
  for (const PlanEvent& e : events) {
    if (e.kind != PlanEvent::Kind::Segment) continue;
    for (std::size_t k = 0; k < kAxisCount; ++k) sum[k] += e.steps[k];
  }
  for (std::size_t k = 0; k < kAxisCount; ++k) {
    EXPECT_EQ(sum[k], std::llround(expected.end[k] * settings.steps_per_unit[k])) << kAxisLetters[k];
  }
  testing::ExpectWithinAxisLimits(testing::Segments(events), settings, 0.003);
  const PlanSummary summary = Summarize(parsed.program(), settings, 0.003);
  EXPECT_EQ(summary.end_steps, sum);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PostPrograms,
    ::testing::Values(
        // G54 (100, 50, -80); T1 40 long, T2 60; G28 at (10, 20, -5).
        PostProgram{"fusion-mach3.nc",
                    {10, 20, -5, 0, 0, 0},
                    {{9, {0, 0, -5, 0, 0, 0}},        // N20 G28 G91 Z0: Z to its stored -5
                     {17, {97, 47, -5, 0, 0, 0}},     // N50 G0 X-3 Y-3 in G54
                     {18, {97, 47, -25, 0, 0, 0}},    // N55 G43 Z15 H1: 15 - 80 + 40
                     {20, {97, 47, -41, 0, 0, 0}},    // N65 G1 Z-1
                     {25, {100, 73, -41, 0, 0, 0}},   // N90 G1 X0 (Y23)
                     {27, {97, 47, -41, 0, 0, 0}},    // N100 back to the start corner
                     {41, {110, 60, -15, 0, 0, 0}},   // N160 G0 Z5 with T2: 5 - 80 + 60
                     {42, {110, 60, -15, 0, 0, 0}},   // N165 G98 G81: back at the start level
                     {43, {130, 60, -15, 0, 0, 0}},   // N170 X30
                     {45, {130, 60, -5, 0, 0, 0}}}},  // N180 G0 Z15
        // T1 40, T3 35; G30 at (200, 150, -10).
        PostProgram{"linuxcnc.ngc",
                    {200, 150, -10, 0, 0, 0},
                    {{13, {110, 60, -25, 0, 0, 0}},     // G43 Z15 H1
                     {17, {110, 60, -40.75, 0, 0, 0}},  // a full turn down 1.25
                     {18, {110, 60, -42, 0, 0, 0}},
                     {21, {117, 60, -47, 0, 0, 0}},  // G18 G3: a quarter turn to X17 Z-7
                     {23, {117, 65, -37, 0, 0, 0}},  // G19 G3: a quarter turn to Y15 Z3
                     {26, {117, 65, 0, 0, 0, 0}},    // G53 G0 Z0
                     {34, {125, 55, -40, 0, 0, 0}},  // G43 Z15 H3, then Z5: 5 - 80 + 35
                     {35, {125, 55, -44, 0, 0, 0}},  // G99 G83: ends at R, 1 - 80 + 35
                     {36, {125, 62, -44, 0, 0, 0}}}},
        // T2 60, T1 40; G90.1 centres; G28 X/Y (10, 20).
        PostProgram{"mach3.tap",
                    {10, 20, 0, 0, 0, 0},
                    {{10, {0, 0, -10, 0, 0, 0}},     // G43 H2 then Z10: 10 - 80 + 60
                     {11, {100, 50, -10, 0, 0, 0}},
                     {15, {105, 55, -15, 0, 0, 0}},  // G82 back at the start level
                     {16, {115, 55, -15, 0, 0, 0}},
                     {28, {120, 50, -41, 0, 0, 0}},  // T1: Z-1 is -1 - 80 + 40
                     {29, {120, 70, -41, 0, 0, 0}},  // half a turn about the absolute centre (20, 10)
                     {30, {130, 80, -41, 0, 0, 0}},
                     {34, {140, 60, -30, 0, 0, 0}},  // G73, back at the start level Z10
                     {38, {140, 60, 0, 0, 0, 0}}}}),  // G53 G0 Z0
    [](const ::testing::TestParamInfo<PostProgram>& param_info) {
      std::string name = param_info.param.file;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(PostPrograms, SetupAfterGivesTheOffsetsAProgramLeaves) {
  const ParseResult parsed = ParseProgram("G10 L2 P3 X1 Y2 Z3\nG92 X0\nM30\nG10 L2 P4 X9\n");
  ASSERT_TRUE(parsed.ok());
  ProgramBlocks source(parsed.program());
  const std::optional<WorkSetup> after = SetupAfter(source, WorkSetup{});
  ASSERT_TRUE(after);
  EXPECT_EQ(after->work_offsets[2], (AxisArray<double>{1, 2, 3, 0, 0, 0}));
  EXPECT_EQ(after->work_offsets[3], (AxisArray<double>{}));  // after M30: never run
  EXPECT_EQ(after->g92_offset, (AxisArray<double>{}));       // at machine 0, G54 0: the shift is 0
}

}  // namespace
}  // namespace kvgcode
