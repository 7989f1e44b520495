// File replacement against real folders: what a save leaves behind when it works and when it
// fails at each step, by injection and by a real refusal of the system (a file-size limit).
#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>  // setrlimit
#include <sys/stat.h>      // stat, chmod, mkfifo

#include <algorithm>  // std::sort
#include <csignal>    // SIGXFSZ
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kv-file-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "profile.xml").string();
  }
  void TearDown() override {
    FailNextReplaceAt(ReplaceStep::kNone);
    fs::remove_all(dir_);
  }

  static void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Everything in the folder: a failed save must not leave its temporary file.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(FileTest, CreatesAndReplacesKeepingThePermissions) {
  std::string error;
  ASSERT_TRUE(ReplaceFileAtomically(path_, "first", error)) << error;
  EXPECT_EQ(Read(path_), "first");
  ::chmod(path_.c_str(), 0640);
  ASSERT_TRUE(ReplaceFileAtomically(path_, std::string("second\0bytes", 12), error)) << error;
  EXPECT_EQ(Read(path_), std::string("second\0bytes", 12));
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"profile.xml"});
  ASSERT_TRUE(ReplaceFileAtomically(path_, "", error)) << error;
  EXPECT_EQ(Read(path_), "");
}

TEST_F(FileTest, ALinkStaysALinkAndItsTargetIsReplaced) {
  const std::string target = (dir_ / "real.xml").string();
  Write(target, "old");
  fs::create_symlink("real.xml", path_);
  std::string error;
  ASSERT_TRUE(ReplaceFileAtomically(path_, "new", error)) << error;
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(Read(target), "new");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"profile.xml", "real.xml"}));
}

TEST_F(FileTest, AFailureAtAnyStepLeavesTheOldFileAndNoTemporary) {
  for (ReplaceStep step : {ReplaceStep::kCreate, ReplaceStep::kWrite, ReplaceStep::kSync, ReplaceStep::kRename}) {
    SCOPED_TRACE(static_cast<int>(step));
    Write(path_, "the user's whole set-up");
    FailNextReplaceAt(step);
    std::string error;
    EXPECT_FALSE(ReplaceFileAtomically(path_, "a replacement that must not land", error));
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_EQ(Read(path_), "the user's whole set-up");
    EXPECT_EQ(Entries(), std::vector<std::string>{"profile.xml"});
  }
  std::string error;
  EXPECT_TRUE(ReplaceFileAtomically(path_, "later", error)) << "the fault fires once: " << error;
}

TEST_F(FileTest, AFileSizeLimitTheSystemEnforcesLeavesTheOldFile) {
  Write(path_, "short");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  const bool saved_ok = ReplaceFileAtomically(path_, std::string(4096, 'x'), error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(saved_ok);
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  EXPECT_EQ(Read(path_), "short");
  EXPECT_EQ(Entries(), std::vector<std::string>{"profile.xml"});
}

TEST_F(FileTest, AMissingFolderOrAFolderInTheWayIsReported) {
  std::string error;
  EXPECT_FALSE(ReplaceFileAtomically((dir_ / "no-such-folder" / "p.xml").string(), "x", error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  fs::create_directories(path_);
  error.clear();
  EXPECT_FALSE(ReplaceFileAtomically(path_, "x", error));
  EXPECT_NE(error.find("cannot replace the file"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_EQ(Entries(), std::vector<std::string>{"profile.xml"});
}

TEST_F(FileTest, ReadsWholeFilesAndTellsMissingFromUnreadable) {
  std::string bytes, error;
  EXPECT_EQ(ReadWholeFile(path_, bytes, error), FileRead::kMissing);
  std::string big(100000, 'a');
  big[5] = '\0';
  Write(path_, big);
  EXPECT_EQ(ReadWholeFile(path_, bytes, error), FileRead::kRead);
  EXPECT_EQ(bytes, big);
  const std::string folder = (dir_ / "folder").string();
  fs::create_directories(folder);
  EXPECT_EQ(ReadWholeFile(folder, bytes, error), FileRead::kFailed);
  EXPECT_FALSE(error.empty());
}

TEST_F(FileTest, ABoundedReadTakesOnlyARegularFileNoLargerThanItsLimit) {
  std::string bytes = "left over", error;
  std::uint64_t size = 1;
  EXPECT_EQ(ReadFileUpTo(path_, 10, bytes, error, size), BoundedRead::kMissing);
  EXPECT_TRUE(bytes.empty());

  // The limit itself is taken; one byte more is refused, the size said.
  Write(path_, std::string(10, 'a'));
  EXPECT_EQ(ReadFileUpTo(path_, 10, bytes, error, size), BoundedRead::kRead);
  EXPECT_EQ(bytes, std::string(10, 'a'));
  EXPECT_EQ(size, 10u);
  Write(path_, std::string(11, 'a'));
  EXPECT_EQ(ReadFileUpTo(path_, 10, bytes, error, size), BoundedRead::kTooLarge);
  EXPECT_EQ(size, 11u);
  EXPECT_TRUE(bytes.empty());
  Write(path_, "");
  EXPECT_EQ(ReadFileUpTo(path_, 10, bytes, error, size), BoundedRead::kRead);
  EXPECT_EQ(size, 0u);

  // A sparse file of 3 GiB is refused by its size, before anything is read.
  fs::resize_file(path_, std::uintmax_t{3} << 30);
  EXPECT_EQ(ReadFileUpTo(path_, 16u << 20, bytes, error, size), BoundedRead::kTooLarge);
  EXPECT_EQ(size, std::uint64_t{3} << 30);
}

TEST_F(FileTest, ABoundedReadRefusesFoldersPipesAndDevicesWithoutWaitingOnThem) {
  std::string bytes, error;
  std::uint64_t size = 0;
  EXPECT_EQ(ReadFileUpTo(dir_.string(), 1000, bytes, error, size), BoundedRead::kNotAFile);
  EXPECT_EQ(error, "a folder, not a file");
  // Endless: a read of it would never end, a whole read never fit.
  EXPECT_EQ(ReadFileUpTo("/dev/zero", 1000, bytes, error, size), BoundedRead::kNotAFile);
  EXPECT_EQ(error, "a device, not a file");
  // A pipe nobody writes to: opening it for reading would wait for a writer for ever.
  const std::string fifo = (dir_ / "image.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(ReadFileUpTo(fifo, 1000, bytes, error, size), BoundedRead::kNotAFile);
  EXPECT_EQ(error, "a pipe, not a file");
}

}  // namespace
}  // namespace platform
