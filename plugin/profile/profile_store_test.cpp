// The profile store against real files in a temporary folder.
#include "profile/profile_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/file.h"
#include "platform/xml_document.h"
#include "runtime/diagnostics.h"
#include "shell/host_contract.h"
#include "shell/plugin_state.h"
#include "testing/scratch_profile.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

class ProfileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The status line the store reports on.
    planner_ = std::make_unique<host::PlannerBlock>();
    state.planner = planner_.get();
    DiagInit();
  }
  void TearDown() override {
    platform::FailNextReplaceAt(platform::ReplaceStep::kNone);
    state.planner = nullptr;
  }

  void WriteFile(const std::string& text) { scratch_.Write(text); }
  std::string ReadFile() const { return scratch_.Read(); }
  std::string Status() const { return host::HostStringRead(planner_->status_text); }
  void ClearStatus() { host::HostStringAssign(planner_->status_text, ""); }

  testing::ScratchProfile scratch_{"kv-profile-"};
  const fs::path& dir_ = scratch_.dir();
  const std::string& path_ = scratch_.path();
  std::unique_ptr<host::PlannerBlock> planner_;
};

// The file without its "VEX" element: what the store must leave as it was.
// `text` is `head`, the system's reason (a few words at least), then `tail`.
bool HasReason(const std::string& text, const std::string& head, const std::string& tail) {
  if (!text.starts_with(head) || !text.ends_with(tail)) return false;
  const std::string reason = text.substr(head.size(), text.size() - head.size() - tail.size());
  return reason.size() >= 4 && reason.find(';') == std::string::npos;
}

std::string OutsideVex(const std::string& text) {
  std::size_t begin = text.find("<VEX");
  std::size_t end = text.find("</VEX>");
  if (begin == std::string::npos || end == std::string::npos) return text;
  return text.substr(0, begin) + text.substr(end + 6);
}

TEST_F(ProfileStoreTest, MissingFileGivesDefaultsAndAnEmptyProfileIsSaved) {
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 3000);
  }
  ASSERT_TRUE(fs::exists(path_));
  platform::XmlDocument doc;
  ASSERT_TRUE(doc.Load(path_));
  EXPECT_EQ(doc.Root().Name(), "profile");
  EXPECT_FALSE(doc.Root().FirstChild("VEX"));
}

TEST_F(ProfileStoreTest, MalformedFileReadsAsEmpty) {
  const std::string damaged = "<profile><VEX><seg_len>12";
  WriteFile(damaged);
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 3000);
    store.WriteInt("VEX", "seg_len", 2500);
  }
  EXPECT_EQ(ReadFile(), damaged) << "what could not be parsed is the user's, and is not written over";
}

TEST_F(ProfileStoreTest, AProfileThatCannotBeParsedIsNeverWrittenAndSaysSoOnce) {
  const std::string mismatched =
      "<?xml version=\"1.0\"?>\n<profile>\n  <Host><Units>mm</Unit></Host>\n"
      "  <VEX><seg_len>2000</seg_len></VEX>\n</profile>\n";
  WriteFile(mismatched);
  {
    ProfileStore store(path_);
    EXPECT_FALSE(store.writable());
    // The reason is the XML parser's own words, which differ between systems.
    EXPECT_TRUE(HasReason(Status(), "profile " + path_ + " cannot be read: ", "; settings not saved")) << Status();
    ClearStatus();
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 3000) << "the defaults, not half a document";
    store.WriteInt("VEX", "seg_len", 2500);
  }
  EXPECT_EQ(Status(), "") << "said once, when the profile was read";
  EXPECT_EQ(ReadFile(), mismatched);

  // A folder where the profile should be cannot be read either.
  fs::remove(path_);
  fs::create_directories(path_);
  {
    ProfileStore store(path_);
    EXPECT_FALSE(store.writable());
    EXPECT_TRUE(HasReason(Status(), "profile " + path_ + " cannot be read: ", "; settings not saved")) << Status();
  }
  EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(ProfileStoreTest, AFailedSaveLeavesTheOldFileAndSaysWhy) {
  const std::string old = "<profile><Host><a>1</a></Host><VEX><seg_len>2000</seg_len></VEX></profile>";
  WriteFile(old);
  {
    ProfileStore store(path_);
    EXPECT_TRUE(store.writable());
    store.WriteInt("VEX", "seg_len", 2500);
    platform::FailNextReplaceAt(platform::ReplaceStep::kWrite);  // the disk fills up half-way
  }
  EXPECT_EQ(ReadFile(), old);
  EXPECT_TRUE(HasReason(Status(), "profile not saved: " + path_ + ": cannot write: ", "")) << Status();
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_)) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"profile.xml"}) << "no temporary file is left";

  // A real refusal: the folder the profile names is a file.
  const std::string blocked = (dir_ / "profile.xml" / "inner.xml").string();
  ClearStatus();
  { ProfileStore store(blocked); }
  EXPECT_TRUE(HasReason(Status(), "profile not saved: " + blocked + ": cannot create a temporary file beside it: ", ""))
      << Status();
  EXPECT_EQ(ReadFile(), old);
}

TEST_F(ProfileStoreTest, EverythingOutsideTheSectionSurvivesByteForByte) {
  const std::string host =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<!DOCTYPE profile>\r\n"
      "<!-- Mach profile: do not edit while the host runs -->\r\n"
      "<?host-tool keep me?>\r\n"
      "<profile>\r\n"
      "\t<Preferences>\r\n"
      "\t\t<Title>Mill &amp; lathe</Title>\r\n"
      "\t\t<Macro><![CDATA[G0 X<1> & Y]]></Macro>\r\n"
      "\t\t<Empty/>\r\n"
      "\t</Preferences>\r\n"
      "\t<VEX>\r\n\t\t<seg_len>2000</seg_len>\r\n\t\t<unused></unused>\r\n\t</VEX>\r\n"
      "\t<!-- after the section -->\r\n"
      "</profile>\r\n";
  WriteFile(host);
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 2000);
    EXPECT_EQ(store.ReadInt("VEX", "unused", 7), 7);  // empty: removed
    store.WriteInt("VEX", "seg_len", 2500);
    store.WriteInt("VEX", "lim_buffer", 450);
  }
  const std::string saved = ReadFile();
  EXPECT_EQ(OutsideVex(saved), OutsideVex(host));
  EXPECT_NE(saved.find("<VEX>\r\n\t\t<seg_len>2500</seg_len>\r\n\t\t<lim_buffer>450</lim_buffer>\r\n\t</VEX>"),
            std::string::npos)
      << saved;

  // A new section joins the layout too, and a store that only reads changes nothing.
  { ProfileStore store(path_); }
  EXPECT_EQ(ReadFile(), saved);
}

TEST_F(ProfileStoreTest, AGb2312ProfileKeepsItsBytesInOtherSections) {
  // "machine tool" in GB2312 in the host's section, and a GB2312 comment.
  const std::string host =
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<profile>\n"
      "  <Host><Name>\xBB\xFA\xB4\xB2</Name><!-- \xC9\xE8\xD6\xC3 --></Host>\n</profile>\n";
  std::string why;
  if (!platform::XmlDocument().ParsePreserving(host, why)) {
    // Such a profile is then left alone, unread and unwritten, as any profile that cannot be read.
    GTEST_SKIP() << "this system's XML parser reads no GB2312 (" << why << ")";
  }
  WriteFile(host);
  {
    ProfileStore store(path_);
    store.WriteInt("VEX", "seg_len", 3000);
  }
  const std::string saved = ReadFile();
  EXPECT_EQ(OutsideVex(saved), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<profile>\n"
                               "  <Host><Name>\xBB\xFA\xB4\xB2</Name><!-- \xC9\xE8\xD6\xC3 --></Host>\n  \n</profile>\n");
  ProfileStore again(path_);
  EXPECT_EQ(again.ReadInt("VEX", "seg_len", 0), 3000);
}

TEST_F(ProfileStoreTest, WriteCreatesSectionAndEntryAsLastChildren) {
  WriteFile("<profile><Host><a>1</a></Host></profile>");
  {
    ProfileStore store(path_);
    store.WriteInt("VEX", "backlash_pos0", -1);
    store.WriteInt("VEX", "seg_len", 2000);
  }
  std::string text = ReadFile();
  EXPECT_NE(text.find("<backlash_pos0>-1</backlash_pos0>"), std::string::npos) << text;
  EXPECT_LT(text.find("<Host>"), text.find("<VEX>")) << "the new section follows the host's";
  EXPECT_LT(text.find("backlash_pos0"), text.find("seg_len")) << "entries are appended in order";
  ProfileStore again(path_);
  EXPECT_EQ(again.ReadInt("VEX", "backlash_pos0", 0), -1);
}

TEST_F(ProfileStoreTest, ConvertsLikeTheCLibrary) {
  WriteFile(
      "<profile><VEX><a>12abc</a><b>x12</b><c>  -42</c><d>+7</d><e>99999999999</e><f>-</f>"
      "<g>-99999999999</g></VEX></profile>");
  ProfileStore store(path_);
  EXPECT_EQ(store.ReadInt("VEX", "a", 5), 12);
  EXPECT_EQ(store.ReadInt("VEX", "b", 5), 0);
  EXPECT_EQ(store.ReadInt("VEX", "c", 5), -42);
  EXPECT_EQ(store.ReadInt("VEX", "d", 5), 7);
  EXPECT_EQ(store.ReadInt("VEX", "e", 5), 2147483647) << "too large saturates";
  EXPECT_EQ(store.ReadInt("VEX", "f", 5), 0);
  EXPECT_EQ(store.ReadInt("VEX", "g", 5), -2147483647 - 1);
  EXPECT_EQ(store.ReadInt("VEX", "missing", 5), 5);
  EXPECT_EQ(store.ReadInt("NOSUCH", "a", 6), 6);
}

TEST_F(ProfileStoreTest, AnEmptyEntryReadsAsMissingAndIsRemoved) {
  WriteFile("<profile><VEX><seg_len></seg_len><mpg_src>1</mpg_src></VEX></profile>");
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 3000);
  }
  std::string text = ReadFile();
  EXPECT_EQ(text.find("seg_len"), std::string::npos) << text;
  EXPECT_NE(text.find("<mpg_src>1</mpg_src>"), std::string::npos);
}

TEST_F(ProfileStoreTest, TheFirstOfTwoEqualKeysIsReadAndWritten) {
  WriteFile("<profile><VEX><k>1</k><k>2</k></VEX></profile>");
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "k", 0), 1);
    store.WriteInt("VEX", "k", 9);
  }
  std::string text = ReadFile();
  EXPECT_NE(text.find("<k>9</k>"), std::string::npos);
  EXPECT_NE(text.find("<k>2</k>"), std::string::npos);
}

TEST_F(ProfileStoreTest, ForeignSectionsAndAttributesSurviveUnchanged) {
  WriteFile(
      "<profile version=\"3\"><Host colour=\"blue\"><Units>mm</Units><!-- keep --></Host>"
      "<VEX seen=\"yes\"><seg_len>2500</seg_len></VEX><Other><x a=\"1\"/></Other></profile>");
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 2500);
    store.WriteInt("VEX", "seg_len", 2600);
  }
  std::string text = ReadFile();
  for (const char* kept : {"version=\"3\"", "colour=\"blue\"", "<Units>mm</Units>", "seen=\"yes\"", "<x a=\"1\""}) {
    EXPECT_NE(text.find(kept), std::string::npos) << kept << " in " << text;
  }
  EXPECT_NE(text.find("<seg_len>2600</seg_len>"), std::string::npos);
}

TEST(ParseDecimal, Forms) {
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("\t\n 15"), 15);
  EXPECT_EQ(ParseDecimal("-0"), 0);
  EXPECT_EQ(ParseDecimal("3.9"), 3);
  EXPECT_EQ(ParseDecimal("- 3"), 0);
}

// "<VEX>" written where no element can be (inside a processing instruction, a comment, CDATA,
// an attribute value, or deeper than a section) is not the section: white space the writer
// changed beside it is a change to the user's profile and must be refused.
TEST(ChangesOnlyOurSection, ADecoySectionDoesNotExcuseChangesBesideIt) {
  const std::string decoys[] = {
      "<?x \r\r\t<VEX>6</VEX> ?>",
      "<!-- \r\r\t<VEX>6</VEX> -->",
      "<profile><m><![CDATA[ \r\r\t<VEX>6</VEX> ]]></m></profile>",
      "<profile><m a=\" \r\r\t<VEX>6</VEX> \"/></profile>",
      "<profile><m> \r\r\t<VEX>6</VEX> </m></profile>",
  };
  for (const std::string& before : decoys) {
    std::string after = before;
    after.replace(after.find(" \r\r\t"), 4, " ");
    EXPECT_FALSE(ChangesOnlyOurSection(before, after)) << before;
  }
  // The real section is still found behind such decoys, and its own layout may change.
  const std::string before = "<?x <VEX/> ?><!-- <VEX> --><profile a=\"<VEX>\">\n  <VEX>\n  </VEX>\n</profile>";
  const std::string after = "<?x <VEX/> ?><!-- <VEX> --><profile a=\"<VEX>\">\n  <VEX>\n    <k>1</k>\n  </VEX>\n</profile>";
  EXPECT_TRUE(ChangesOnlyOurSection(before, after));
  EXPECT_FALSE(ChangesOnlyOurSection(before, "<?x <VEX/> ?><!-- <VEX>  --><profile a=\"<VEX>\">\n  <VEX/>\n</profile>"));
}

// What a fuzzer found: a processing instruction with a section's text inside, ahead of the root.
// A store that only reads must leave such a file exactly as it was.
TEST_F(ProfileStoreTest, AProcessingInstructionHoldingTheSectionsTextIsKeptByteForByte) {
  const std::string host = "\t<?x\r\r\r\r\t<VEX>6</VEX> version=\"1.0\"?>\n<profile>\n\t<Other>1</Other>\n</profile>\n";
  WriteFile(host);
  { ProfileStore store(path_); }
  EXPECT_EQ(ReadFile(), host);
  {
    ProfileStore store(path_);
    store.WriteInt("VEX", "seg_len", 1234);
  }
  const std::string saved = ReadFile();
  EXPECT_EQ(saved.substr(0, saved.find("<profile>")), host.substr(0, host.find("<profile>")));
}

}  // namespace
}  // namespace kv
