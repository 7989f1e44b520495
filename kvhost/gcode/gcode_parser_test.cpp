// Parser tests: the accepted G-code forms decode as meant, everything else is refused by line and word.
#include <gtest/gtest.h>

#include <string>

#include "interpreter.h"
#include "program.h"
#include "work_setup.h"
#include "test_support.h"

namespace kvgcode {
namespace {

using testing::MustParse;

TEST(ParserAccepts, WordsWithBlanksCaseCommentsAndLineNumbers) {
  const Program program = MustParse("n10 g01 x 1.5 Y-2 z+.5 f 100 (one) (two) ; rest ignored (\n");
  ASSERT_EQ(program.blocks.size(), 1u);
  const Block& block = program.blocks[0];
  EXPECT_EQ(block.line, 1);
  EXPECT_EQ(block.motion, MotionMode::Linear);
  EXPECT_EQ(block.axes[Index(Axis::X)], 1.5);
  EXPECT_EQ(block.axes[Index(Axis::Y)], -2.0);
  EXPECT_EQ(block.axes[Index(Axis::Z)], 0.5);
  EXPECT_EQ(block.feed_per_min, 100.0);
}

TEST(ParserAccepts, EveryListedCode) {
  const Program program = MustParse(
      "G17 G21 G90 G40 G49 G61\nG64\n"
      "G20\nG91\nG90 G21\n"
      "G0 X1 Y2 Z3 A4 B5 C6\n"
      "G1 X2 F300\n"
      "G2 X3 Y3 I0.5 J0.5\n"
      "G3 X4 Y2 R1\n"
      "G3 X4 Y2 I1\n"       // full circle
      "G4 P0.25\n"
      "M3 S1000\nM03\nM04\nM4\nM05\nM5\n"
      "T2 M6\nT3\nM6\n"
      "G00 X0\nG01 X1\nG02 X2 Y2 R-1\nG03 X1 Y1 R1\n"
      "M30\n");
  EXPECT_EQ(program.blocks.size(), 25u);  // "G64" alone sets the path mode, so it is a block
}

TEST(ParserAccepts, PathModeAndItsToleranceReachEveryMove) {
  const Program program = MustParse("G1 X1 F100\nG61\nX2\nG64 P0.05\nX3\nG20 G64 P0.01\nX4\nG64\nG21 X5\nG4 P0\n");
  const Block& tolerance = program.blocks[3];
  ASSERT_TRUE(tolerance.path_mode);
  EXPECT_EQ(*tolerance.path_mode, PathMode::Blend);
  EXPECT_EQ(tolerance.path_tolerance, 0.05);
  EXPECT_FALSE(tolerance.dwell_s) << "G64's P is no dwell";
  Interpreter interpreter;
  ActionList actions;
  std::vector<Move> moves;
  for (const Block& block : program.blocks) {
    ASSERT_FALSE(interpreter.Execute(block, actions));
    for (std::size_t i = 0; i < actions.count; ++i) {
      if (actions.items[i].kind == Action::Kind::Move) moves.push_back(actions.items[i].move);
    }
  }
  ASSERT_EQ(moves.size(), 5u);
  EXPECT_FALSE(moves[0].exact_stop) << "G64 is the default";
  EXPECT_FALSE(moves[0].path_tolerance_mm);
  EXPECT_TRUE(moves[1].exact_stop);
  EXPECT_FALSE(moves[2].exact_stop);
  EXPECT_EQ(moves[2].path_tolerance_mm, 0.05);
  ASSERT_TRUE(moves[3].path_tolerance_mm);
  EXPECT_NEAR(*moves[3].path_tolerance_mm, 0.254, 1e-12) << "in the inches of its line";
  EXPECT_FALSE(moves[4].path_tolerance_mm) << "G64 alone is the machine's deviation again";
}

TEST(ParserAccepts, DecodesModalCommands) {
  const Program program = MustParse("G20 G91\nM4 S200\nG4 P1.5\nT7 M6\nM5\nM2\n");
  ASSERT_EQ(program.blocks.size(), 6u);
  EXPECT_EQ(program.blocks[0].units, Units::Inches);
  EXPECT_EQ(program.blocks[0].distance, DistanceMode::Incremental);
  EXPECT_EQ(program.blocks[1].spindle, SpindleCommand::CounterClockwise);
  EXPECT_EQ(program.blocks[1].spindle_speed, 200.0);
  EXPECT_TRUE(program.blocks[2].dwell);
  EXPECT_EQ(program.blocks[2].dwell_s, 1.5);
  EXPECT_TRUE(program.blocks[3].tool_change);
  EXPECT_EQ(program.blocks[3].tool, 7);
  EXPECT_EQ(program.blocks[4].spindle, SpindleCommand::Stop);
  EXPECT_TRUE(program.blocks[5].program_end);
}

TEST(ParserAccepts, PercentAndCommentLinesGiveNoBlocksButKeepLineNumbers) {
  const Program program = MustParse("%\n(header)\n; note\n\r\n  \t\nG0 X1\r\n% (end)\n");
  ASSERT_EQ(program.blocks.size(), 1u);
  EXPECT_EQ(program.blocks[0].line, 6);
  EXPECT_EQ(program.blocks[0].axes[0], 1.0);
}

TEST(ParserAccepts, ProgramEndsAtM2AndLaterLinesAreNotRead) {
  const Program program = MustParse("G0 X1\nM2\nthis is not g-code G18\n");
  ASSERT_EQ(program.blocks.size(), 2u);
  EXPECT_TRUE(program.blocks[1].program_end);

  EXPECT_EQ(MustParse("G0 X1\nM30\nG0 X5\n").blocks.size(), 2u);
}

TEST(ParserAccepts, NoFinalNewline) { EXPECT_EQ(MustParse("G0 X1\nG0 X2").blocks.size(), 2u); }

struct Rejection {
  const char* text;
  int line;
  const char* word;
  const char* message_part;
};

// Names each case by the line and word it must name, so test names stay the same from run to run.
void PrintTo(const Rejection& r, std::ostream* os) { *os << "line " << r.line << " \"" << r.word << "\""; }

class ParserRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(ParserRejects, NamesLineAndWord) {
  const Rejection& expected = GetParam();
  const ParseResult result = ParseProgram(expected.text);
  ASSERT_FALSE(result.ok()) << expected.text;
  EXPECT_EQ(result.error().line, expected.line);
  EXPECT_EQ(result.error().word, expected.word);
  EXPECT_NE(result.error().message.find(expected.message_part), std::string::npos) << result.error().message;
  EXPECT_EQ(result.error().message.rfind("line " + std::to_string(expected.line) + ": ", 0), 0u)
      << result.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Unsupported, ParserRejects,
    ::testing::Values(Rejection{"G41", 1, "G41", "unsupported word"}, Rejection{"G0 X0\nG42", 2, "G42", "unsupported"},
                      Rejection{"G28.1", 1, "G28.1", "unsupported"}, Rejection{"G61.1", 1, "G61.1", "unsupported"},
                      Rejection{"M98", 1, "M98", "unsupported"}, Rejection{"M99", 1, "M99", "unsupported"},
                      Rejection{"G1 X1 F10\nG2 X2 Y0 I0.5 K0", 2, "K0", "unsupported"},
                      Rejection{"Q5", 1, "Q5", "Q word without"}, Rejection{"G99999999999", 1, "G99999999999", "unsupported"},
                      Rejection{"/G0 X1", 1, "/", "unexpected character"}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, ParserRejects,
    ::testing::Values(Rejection{"G1 X F10", 1, "X", "without a number"}, Rejection{"G0 X1 Y", 1, "Y", "without a number"},
                      Rejection{"G1 X1.2.3 F10", 1, "X1.2.3", "malformed number"},
                      Rejection{"G0 X-", 1, "X-", "malformed number"}, Rejection{"G0 X1-2", 1, "X1-2", "malformed"},
                      Rejection{"G0 X.", 1, "X.", "malformed"}, Rejection{"G0 X1 (open", 1, "(", "not closed"},
                      Rejection{"G0 X1 )", 1, ")", "closing parenthesis"},
                      Rejection{"G0 X1 X2", 1, "X2", "repeated word"},
                      Rejection{"G0 X1 @", 1, "@", "unexpected character"},
                      Rejection{"G0 X1 \x01", 1, "\\x01", "unexpected character"},
                      Rejection{"% G0 X1", 1, "G", "delimiter line"}));

INSTANTIATE_TEST_SUITE_P(
    Conflicts, ParserRejects,
    ::testing::Values(Rejection{"G0 G1 X1 F10", 1, "G1", "two motion codes"},
                      Rejection{"G20 G21", 1, "G21", "two units codes"},
                      Rejection{"G90 G91", 1, "G91", "two distance mode codes"},
                      Rejection{"M3 M5", 1, "M5", "two spindle codes"},
                      Rejection{"G4 P1 G4", 1, "G4", "two dwell codes"},
                      Rejection{"G61 G64", 1, "G64", "two path mode codes"},
                      Rejection{"G4 G64 P1", 1, "P1", "P word with both G4 and G64"}));

INSTANTIATE_TEST_SUITE_P(
    PathTolerance, ParserRejects,
    ::testing::Values(Rejection{"G64 P-0.01", 1, "P-0.01", "path tolerance must not be negative"},
                      Rejection{"G61 P0.01", 1, "P0.01", "P word without G4, G10, G64 or G82"},
                      Rejection{"G0 X1\nG1 X2 F10 P0.1", 2, "P0.1", "P word without G4, G10, G64 or G82"},
                      // Codes that take P for themselves leave a G64 P on their line ambiguous.
                      Rejection{"G10 L2 P1 X0 G64", 1, "P1", "P word with both G10 and G64"},
                      Rejection{"G82 X1 Y1 Z-1 R1 P0.5 F100 G64", 1, "P0.5", "P word with both G82 and G64"},
                      Rejection{"G82 X1 Y1 Z-1 R1 P0.5 F100\nX2 G64 P-1", 2, "P-1",
                                "path tolerance must not be negative"}));

TEST(ParserAccepts, AfterADrillCycleG64PIsTheToleranceAndTheCycleKeepsItsDwell) {
  const Program program = MustParse("G82 X1 Y1 Z-1 R1 P0.5 F100\nX2 G64 P0.05\n");
  ASSERT_EQ(program.blocks.size(), 2u);
  EXPECT_EQ(program.blocks[1].path_tolerance, 0.05);
  EXPECT_FALSE(program.blocks[1].dwell_s);
  Interpreter interpreter;
  ActionList actions;
  ASSERT_FALSE(interpreter.Execute(program.blocks[0], actions));
  ASSERT_FALSE(interpreter.Execute(program.blocks[1], actions));
  int dwells = 0;
  for (std::size_t i = 0; i < actions.count; ++i) {
    const Action& a = actions.items[i];
    if (a.kind == Action::Kind::Dwell) {
      ++dwells;
      EXPECT_EQ(a.dwell_s, 0.5) << "the cycle's own P still holds";
    }
    if (a.kind == Action::Kind::Move) {
      EXPECT_EQ(a.move.path_tolerance_mm, 0.05);
    }
  }
  EXPECT_EQ(dwells, 1);
}

TEST(ParserAccepts, ThePathModeReachesCycleReturnAndMachineCoordinateMoves) {
  WorkSetup setup;
  setup.g28_position = {5, 5, 10, 0, 0, 0};
  for (const bool exact : {true, false}) {
    const std::string mode = exact ? "G61\n" : "G64 P0.02\n";
    const Program program = MustParse(mode + "G0 Z5\nG83 X10 Y10 Z-4 R1 Q1 F300\nG80\nG28 X0\nG53 G0 X0 Y0\nG53 G1 Z0 F100\n");
    Interpreter interpreter(setup);
    ActionList actions;
    int moves = 0;
    for (const Block& block : program.blocks) {
      ASSERT_FALSE(interpreter.Execute(block, actions));
      for (std::size_t i = 0; i < actions.count; ++i) {
        const Move& move = actions.items[i].move;
        if (actions.items[i].kind != Action::Kind::Move) continue;
        ++moves;
        EXPECT_EQ(move.exact_stop, exact) << "line " << block.line;
        if (exact) {
          EXPECT_FALSE(move.path_tolerance_mm) << "line " << block.line;
        } else {
          EXPECT_EQ(move.path_tolerance_mm, 0.02) << "line " << block.line;
        }
      }
    }
    EXPECT_GT(moves, 10) << "pecks, the return through X0 and the G53 moves";
  }
}

INSTANTIATE_TEST_SUITE_P(
    ModalFaults, ParserRejects,
    ::testing::Values(Rejection{"G0 X0\n\nG1 X1", 3, "G1", "no feed rate"},
                      Rejection{"G1 F10\nG0 X1\nG1 F10 X2\nG4", 4, "G4", "dwell without a P"},
                      Rejection{"P1", 1, "P1", "P word without G4"}, Rejection{"F0", 1, "F0", "above zero"},
                      Rejection{"S-5", 1, "S-5", "negative"}, Rejection{"G4 P-1", 1, "P-1", "negative"},
                      Rejection{"T1.5", 1, "T1.5", "whole number"}, Rejection{"X1", 1, "X1", "no motion mode"},
                      Rejection{"G1 X1 I1 F10", 1, "I1", "without G2/G3"},
                      Rejection{"G1 X2000000 F10", 1, "X2000000", "out of range"},
                      Rejection{"G91 G0 X600000\nX600000", 2, "X600000", "out of range"}));

INSTANTIATE_TEST_SUITE_P(
    ArcFaults, ParserRejects,
    ::testing::Values(Rejection{"F100\nG2 X10 Y10", 2, "G2", "needs I/J or R"},
                      Rejection{"F100\nG3 X10 Y0 R2", 2, "R2", "shorter than half the chord"},
                      Rejection{"F100\nG2 X1 Y1 I1 R1", 2, "R1", "both I/J and"},
                      Rejection{"F100\nG2 X1 Y1 I0 J0", 2, "I0", "centre is at its start"},
                      Rejection{"F100\nG2 X10 Y0 I1", 2, "I1", "off the circle"},
                      Rejection{"F100\nG3 X0 Y0 R5", 2, "R5", "different from its start"},
                      Rejection{"F100\nG2 I5", 2, "I5", "no axis words"},
                      Rejection{"G2 X1 Y1 I1", 1, "G2", "no feed rate"}));

TEST(ParserRejects, FirstFaultWinsAndNothingAfterItMatters) {
  const ParseResult result = ParseProgram("G0 X0\nG0 X1\nG0 X2\nG0 X3\nG0 X4\nG0 X5\nG0 X6\nG0 X7\nG0 X8\nG0 X9\n"
                                          "G0 X10\nG41\nG42\n");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "line 12: unsupported word \"G41\"");
}

}  // namespace
}  // namespace kvgcode
