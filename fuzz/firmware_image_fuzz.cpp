// The firmware image reader and the loader blocks it is cut into: an image that is accepted
// goes out whole, in order, at the addresses the loader expects.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "scratch_file.h"
#include "service/firmware_upgrade.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = kvfuzz::WriteScratch("image.bin", data, size);
  std::string image, why;
  const bool ok = kv::LoadFirmwareImage(path, image, why);
  if (ok != (size > 0)) std::abort();
  if (!ok) {
    if (why.empty()) std::abort();
    return 0;
  }
  if (image.size() != size || std::memcmp(image.data(), data, size) != 0) std::abort();
  constexpr std::size_t kData = 48;
  for (std::size_t offset = 0; offset < size; offset += kData) {
    const std::size_t n = size - offset < kData ? size - offset : kData;
    const kv::LoaderBuffer block = kv::LoaderBlock(static_cast<std::uint32_t>(offset), {data + offset, n});
    const std::uint32_t address = (std::uint32_t{block[1]} << 16) | (std::uint32_t{block[2]} << 8) | block[3];
    if (block[0] != 0xC5 || address != offset || std::memcmp(block.data() + 4, data + offset, n) != 0) std::abort();
    for (std::size_t i = 4 + n; i < block.size(); ++i) {
      if (block[i] != 0) std::abort();
    }
  }
  return 0;
}
