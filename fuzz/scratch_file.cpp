// Scratch files for the fuzz targets.
#include "scratch_file.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/cpu_time.h"

namespace kvfuzz {

std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("kvfuzz-" + std::to_string(platform::CurrentThreadId()) + "-" + name))
                               .string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace kvfuzz
