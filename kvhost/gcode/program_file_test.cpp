// A program read from its file line by line must plan exactly as the same text parsed whole, fail
// where the whole parse fails, and never guess when the file changes under it.
#include "program_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "plan_summary.h"
#include "test_support.h"

namespace kvgcode {
namespace {

class ProgramFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kv_program_file_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& text) {
    const std::string path = (dir_ / "program.nc").string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  std::filesystem::path dir_;
};

std::vector<PlanEvent> PlanSource(BlockSource& source) {
  Planner planner(source, DefaultMillSettings(), 0.003);
  std::vector<PlanEvent> events;
  PlanEvent event;
  while (planner.Next(event)) events.push_back(event);
  EXPECT_FALSE(planner.error()) << *planner.error();
  return events;
}

TEST_F(ProgramFileTest, PlansAsTheWholeTextDoesAcrossChunksLineEndsAndTheProgramEnd) {
  // Enough lines to cross several read chunks, CR LF and LF mixed, a last line without its end,
  // and text after M2 that must not be read.
  std::string text = "%\r\n(pocket)\r\nG21 G90 G17\r\nM3 S1000\n";
  for (int i = 0; i < 3000; ++i) {
    text += "G1 X" + std::to_string(i % 7) + ".25 Y" + std::to_string(i % 5) + " F3000 ; pass " + std::to_string(i) + "\n";
    if (i % 500 == 0) text += "G4 P0.01\r\nG0 X0 Y0\nG2 X2 Y0 I1 J0\n";
  }
  const std::string ended = text + "M2\nthis line is not G-code G18\n";
  for (const std::string& t : {text + "G0 Z3", ended}) {
    const Program whole = testing::MustParse(t);
    ProgramFile file;
    std::string error;
    ASSERT_TRUE(file.Open(Write(t), error)) << error;
    ASSERT_FALSE(CheckProgram(file));
    const std::vector<PlanEvent> from_file = PlanSource(file);
    const std::vector<PlanEvent> from_text = testing::PlanAll(whole, DefaultMillSettings(), 0.003);
    ASSERT_EQ(from_file.size(), from_text.size());
    for (std::size_t i = 0; i < from_file.size(); ++i) {
      ASSERT_EQ(from_file[i].kind, from_text[i].kind) << i;
      ASSERT_EQ(from_file[i].steps, from_text[i].steps) << i;
      ASSERT_EQ(from_file[i].line, from_text[i].line) << i;
    }
    // A second plan of the same source (the summary, then the run) reads it again from the top.
    EXPECT_EQ(Summarize(file, DefaultMillSettings(), 0.003).end_steps,
              Summarize(whole, DefaultMillSettings(), 0.003).end_steps);
    EXPECT_EQ(ProgramEndSteps(file, DefaultMillSettings()), ProgramEndSteps(whole, DefaultMillSettings()));
  }
}

TEST_F(ProgramFileTest, FaultsAreTheWholeParsesAndALineTooLongIsRefusedShortly) {
  for (const std::string& t : {std::string("G21\nG1 X1\n"), std::string("G0 X1\n\nG41\n"),
                               std::string("G0 X1\nG2 X1 Y0 R0.1 F100\n"), std::string("G0 X1\nG1 X") +
                                                                              std::string(100000, '7') + "Q\n"}) {
    ProgramFile file;
    std::string error;
    ASSERT_TRUE(file.Open(Write(t), error));
    const std::optional<ParseError> fault = CheckProgram(file);
    const ParseResult whole = ParseProgram(t);
    ASSERT_TRUE(fault) << t.substr(0, 40);
    ASSERT_FALSE(whole.ok());
    EXPECT_EQ(fault->line, whole.error().line);
    EXPECT_EQ(fault->message, whole.error().message);
  }
  ProgramFile file;
  std::string error;
  ASSERT_TRUE(file.Open(Write("G21\n(" + std::string(kMaxProgramLineBytes, 'x') + ")\nG0 X1\n"), error));
  const std::optional<ParseError> fault = CheckProgram(file);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->line, 2);
  EXPECT_LT(fault->message.size(), 80u) << fault->message.substr(0, 200);

  EXPECT_FALSE(file.Open((dir_ / "missing.nc").string(), error));
  EXPECT_NE(error.find("cannot read"), std::string::npos);
}

// A changed file is never planned from: the fault comes before any line of the changed bytes
// gives a segment, whether the change shows in the file's time and size or only in its bytes.
TEST_F(ProgramFileTest, AFileChangedAfterItsCheckStopsThePlanBeforeAnyChangedLine) {
  const std::string path = Write("G21\nG1 X1 F600\nG1 X2\nM2\n");
  ProgramFile file;
  std::string error;
  ASSERT_TRUE(file.Open(path, error));
  ASSERT_FALSE(CheckProgram(file));
  {
    std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out).seekp(15) << "Z-9";  // line 3: "G1Z-92"
  }
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(1));
  Planner planner(file, DefaultMillSettings(), 0.003);
  PlanEvent event;
  int events = 0;
  while (planner.Next(event)) ++events;
  ASSERT_TRUE(planner.error());
  EXPECT_NE(planner.error()->find("changed since it was checked"), std::string::npos) << *planner.error();
  EXPECT_EQ(events, 0) << "the changed file's chunk was planned from";
}

// Lines of a program over several read chunks (64 KiB each): "G1 X<n> F600" padded to 64 bytes.
std::string PaddedLines(int count) {
  std::string text = "G21 G90\n";
  for (int i = 0; i < count; ++i) {
    std::string line = "G1 X" + std::to_string(i % 50) + " F600 ";
    line.resize(63, ';');
    text += line + "\n";
  }
  return text + "M2\n";
}

TEST_F(ProgramFileTest, ChangedBytesUnderTheSameSizeAndTimeAreFoundAtTheirChunkBeforeTheirLines) {
  const std::string text = PaddedLines(5000);  // about 320 KB: five chunks
  const std::string path = Write(text);
  ProgramFile file;
  std::string error;
  ASSERT_TRUE(file.Open(path, error));
  ASSERT_FALSE(CheckProgram(file));
  const auto checked_time = std::filesystem::last_write_time(path);
  {  // inside the third chunk, which starts at byte 131072
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(2 * 65536 + 100));
    out << "Z-90";
  }
  std::filesystem::last_write_time(path, checked_time);  // an edit that kept size and time
  Planner planner(file, DefaultMillSettings(), 0.003);
  PlanEvent event;
  int last_line = 0;
  while (planner.Next(event)) last_line = std::max(last_line, event.line);
  ASSERT_TRUE(planner.error());
  EXPECT_NE(planner.error()->find("bytes from 131072 on differ"), std::string::npos) << *planner.error();
  // Lines that lie wholly in the first two chunks are planned; none that reach into the third.
  const int first_line_reaching_chunk3 = 1 + static_cast<int>((2 * 65536 - 8) / 64) + 1;
  EXPECT_LT(last_line, first_line_reaching_chunk3);
  EXPECT_GT(last_line, first_line_reaching_chunk3 - 10) << "the unchanged chunks are planned";
}

TEST_F(ProgramFileTest, AChangeDuringThePlanStopsItAtTheNextRead) {
  const std::string path = Write(PaddedLines(5000));
  ProgramFile file;
  std::string error;
  ASSERT_TRUE(file.Open(path, error));
  ASSERT_FALSE(CheckProgram(file));
  Planner planner(file, DefaultMillSettings(), 0.003);
  PlanEvent event;
  int last_line = 0;
  while (planner.Next(event) && event.line < 100) last_line = event.line;  // into the first chunk
  {
    std::ofstream(path, std::ios::binary | std::ios::app) << "G0 Z-90\n";  // the file grows
  }
  while (planner.Next(event)) last_line = std::max(last_line, event.line);
  ASSERT_TRUE(planner.error());
  EXPECT_NE(planner.error()->find("changed since it was checked (size"), std::string::npos) << *planner.error();
  // The look-ahead reads up to a window of moves beyond the last segment handed out, which here
  // reaches into the second chunk: that is the chunk in hand when the file grows.
  EXPECT_LE(last_line, 1 + 2 * 65536 / 64) << "planning went on past the chunk in hand";
}

}  // namespace
}  // namespace kvgcode
