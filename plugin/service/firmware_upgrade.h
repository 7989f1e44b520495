// The firmware upgrade: a board that answers from its loader is sent a firmware image in
// addressed 48-byte blocks, unframed, with progress to the dialog or the status line; then the
// board restarts and is identified anew.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kv {

inline constexpr std::uint32_t WM_UPGRADE_PROGRESS = 1126;  // WM_USER + 102, posted to the dialog
inline constexpr std::uintptr_t kProgressAllSent = 101;     // every block is out
inline constexpr std::uintptr_t kProgressDone = 102;        // the restart wait is over

inline constexpr std::size_t kLoaderBlockData = 48;
inline constexpr std::size_t kLoaderBlockBytes = 52;          // 0xC5, 24-bit address, 48 bytes
inline constexpr std::size_t kLoaderImageLimit = 1u << 24;    // what a 24-bit address reaches
inline constexpr std::size_t kUpgradePathChars = 130;         // upgrade_path's room

// A loader message as it goes to link_send_raw: the USB link always sends 64 bytes from it.
using LoaderBuffer = std::array<std::uint8_t, 64>;

// 0xC5, the address most significant byte first, `data` (at most 48 bytes), zeros after it.
LoaderBuffer LoaderBlock(std::uint32_t address, std::span<const std::uint8_t> data);
// A one-byte message (0xC3 begin, 0xC6 end), zeros after it.
LoaderBuffer LoaderMessage(std::uint8_t code);

// Percent of an image of `size` bytes sent once `offset` bytes are out: 0..100, never a
// division by zero and never past 100.
std::uint32_t UpgradePercent(std::uint64_t offset, std::uint64_t size);

// Reads a firmware image: false, with the reason in `why`, when it cannot be read, is empty or
// is larger than the loader's address space.
bool LoadFirmwareImage(const std::string& path, std::string& bytes, std::string& why);

// The fixed waits the loader relies on; tests shorten them.
struct UpgradePacing {
  std::uint32_t block_ms = 4;         // after each block: the loader's only flow control
  std::uint32_t before_end_ms = 1000;
  std::uint32_t after_end_ms = 3000;  // the loader writes the image, then the link is closed
  std::uint32_t restart_ms = 5000;    // longest wait for the board to come back
};
void SetUpgradePacing(const UpgradePacing& pacing);

// Runs the whole upgrade on the scheduler thread, from opening the image to the restart wait.
void FirmwareUpgrade();

}  // namespace kv
