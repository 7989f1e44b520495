// The profile store against real files in a temporary folder.
#include "profile/profile_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kv {
namespace {

namespace fs = std::filesystem;

class ProfileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kv-profile-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "profile.xml").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteFile(const std::string& text) { std::ofstream(path_) << text; }
  std::string ReadFile() const {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path dir_;
  std::string path_;
};

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
  WriteFile("<profile><VEX><seg_len>12");
  {
    ProfileStore store(path_);
    EXPECT_EQ(store.ReadInt("VEX", "seg_len", 3000), 3000);
    store.WriteInt("VEX", "seg_len", 2500);
  }
  ProfileStore again(path_);
  EXPECT_EQ(again.ReadInt("VEX", "seg_len", 0), 2500);
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

}  // namespace
}  // namespace kv
