// A profile file of the test's own: a fresh folder per test case under the system's temporary
// folder, removed again, with the file's bytes written and read back whole.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kv::testing {

class ScratchProfile {
 public:
  explicit ScratchProfile(const std::string& prefix)
      : dir_(std::filesystem::temp_directory_path() /
             (prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name())),
        path_((dir_ / "profile.xml").string()) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~ScratchProfile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ScratchProfile(const ScratchProfile&) = delete;
  ScratchProfile& operator=(const ScratchProfile&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  const std::string& path() const { return path_; }
  void Write(const std::string& bytes) const { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

}  // namespace kv::testing
