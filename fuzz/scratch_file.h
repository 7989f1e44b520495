// A file of the fuzz target's own in the system's temporary folder, for readers that take a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvfuzz {

// The path of this process's scratch file named `name`, now holding the bytes.
std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size);
std::string ReadWhole(const std::string& path);

}  // namespace kvfuzz
