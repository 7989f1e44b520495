// For the tests that run the kvhost program itself and check what it printed and its exit code.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kvhost::run_test {

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs `program` with `arguments` (quoted as the shell wants them) through the shell, its
// standard output and error kept in `dir`; its exit code, or -1 when the shell itself failed.
inline int RunProgram(const std::string& program, const std::string& arguments, const std::filesystem::path& dir,
                      std::string& out, std::string& err) {
  const std::filesystem::path code = dir / "exit-code";
  const std::string command = "\"" + program + "\" " + arguments + " > \"" + (dir / "stdout").string() + "\" 2> \"" +
                              (dir / "stderr").string() + "\"; echo $? > \"" + code.string() + "\"";
  if (std::system(command.c_str()) != 0) return -1;
  out = ReadText(dir / "stdout");
  err = ReadText(dir / "stderr");
  return std::atoi(ReadText(code).c_str());
}

}  // namespace kvhost::run_test
