// Firmware upgrade, run by the service task when the board answers from its loader. The loader
// acknowledges nothing: the 4 ms after each block and the fixed waits around the end message are
// its only pacing. Every send is made only while the link the upgrade began on is still the one
// that is open, so a board that dropped and came back never receives the tail of an image
// without its beginning; it stays in its loader and the next run starts the image afresh. A
// send that fails or is cut short ends the transfer the same way, and the link is closed, since
// the loader would otherwise take the next block after a gap or half a block.
#include "service/firmware_upgrade.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "link/link_interface.h"
#include "platform/clock.h"
#include "platform/dialog.h"
#include "platform/file.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/timer_scheduler.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr const char* kImageFilter = "Describe Files (*.bin)|*.bin||";
constexpr std::uint32_t kWaitSliceMs = 10;

std::atomic<UpgradePacing*> pacing_override{nullptr};
UpgradePacing Pacing() {
  UpgradePacing* p = pacing_override.load(std::memory_order_acquire);
  return p ? *p : UpgradePacing{};
}

// The link the upgrade runs on: the connection count when it began.
class UpgradeLink {
 public:
  UpgradeLink() : connection_(state.link_connections.load(std::memory_order_acquire)) {}
  bool Same() const {
    return state.link_open.load(std::memory_order_acquire) != 0 &&
           state.link_connections.load(std::memory_order_acquire) == connection_;
  }
  bool Replaced() const {
    return state.link_open.load(std::memory_order_acquire) != 0 &&
           state.link_connections.load(std::memory_order_acquire) != connection_;
  }
  bool Send(const LoaderBuffer& buffer, std::size_t length) const {
    return Same() && LinkSendRaw(buffer.data(), static_cast<std::int32_t>(length));
  }

 private:
  std::uint32_t connection_;
};

// Sleeps `ms`, or less when StopPlug asks the scheduler to end or `done` holds.
template <typename Done>
void WaitMs(std::uint32_t ms, Done done) {
  const std::uint32_t start = platform::TickMs();
  while (!TimerStopRequested() && !done()) {
    const std::uint32_t spent = platform::TickMs() - start;
    if (spent >= ms) return;
    platform::SleepMs(std::min(kWaitSliceMs, ms - spent));
  }
}
void WaitMs(std::uint32_t ms) {
  WaitMs(ms, [] { return false; });
}

void* Dialog() { return state.dialog_hwnd.load(std::memory_order_acquire); }

void PostProgress(std::uintptr_t value) {
  if (void* dialog = Dialog()) platform::PostWindowMessage(dialog, WM_UPGRADE_PROGRESS, value, 0);
}

// The image named in upgrade_path, or one the user chooses; false (the board left in its loader)
// when there is none to send.
bool OpenImage(std::string& image) {
  std::string why;
  const std::string path = state.upgrade_path.Get();
  if (!path.empty()) {
    if (LoadFirmwareImage(path, image, why)) return true;
    status_printf("Upgrade refused: %s", why.c_str());
    return false;
  }
  while (!TimerStopRequested()) {
    platform::ShowMessageBox("Choose bin file", "Choose Prog file");
    const platform::OpenFileAnswer answer = platform::ShowOpenFileDialog(kImageFilter, nullptr);
    if (answer.choice == platform::FileChoice::kUnavailable) {
      // Asking again could never succeed: say so once and leave the board in its loader.
      status_printf("No file dialog can be shown: the board stays in its loader");
      return false;
    }
    if (answer.path.empty()) {
      platform::ShowMessageBox("No file select, quit upgrade", "Invalid Filename");
      return false;
    }
    if (LoadFirmwareImage(answer.path, image, why)) return true;
    status_printf("Upgrade refused: %s", why.c_str());
  }
  return false;
}

// The blocks, and the news that they are out; false when the transfer stopped short: the link
// went away, a send failed or was cut part-way (the loader then holds a gap or half a block), or
// StopPlug came. The status line then says after how many bytes it stopped.
bool SendImage(const UpgradeLink& link, const std::string& image, bool begun, const UpgradePacing& pacing) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.data());
  const std::size_t size = image.size();
  std::size_t offset = 0;
  const char* why = begun ? nullptr : link.Same() ? "the begin message could not be sent" : "the link closed";
  for (; why == nullptr && offset < size; offset += kLoaderBlockData) {
    if (!link.Same()) {
      why = "the link closed";
      break;
    }
    if (TimerStopRequested()) {
      why = "the plug-in is stopping";
      break;
    }
    const std::uint32_t percent = UpgradePercent(offset, size);
    if (Dialog()) {
      PostProgress(percent);
    } else {
      status_printf("Upgrade progress %u%%", percent);
    }
    const std::size_t n = std::min(kLoaderBlockData, size - offset);
    if (!link.Send(LoaderBlock(static_cast<std::uint32_t>(offset), {bytes + offset, n}), kLoaderBlockBytes)) {
      why = link.Same() ? "the next block could not be sent whole" : "the link closed";
      break;
    }
    WaitMs(pacing.block_ms);
  }
  if (why == nullptr && !link.Same()) why = "the link closed";
  if (why != nullptr) {
    // An image is at most 16 MiB, so 32 bits hold both counts.
    status_printf("Upgrade stopped after %u of %u bytes: %s; the board stays in its loader",
                  static_cast<unsigned>(std::min(offset, size)), static_cast<unsigned>(size), why);
    return false;
  }
  if (Dialog()) {
    PostProgress(kProgressAllSent);
  } else {
    status_printf("Upgrade done %u%%", UpgradePercent(offset, size));
    platform::ShowMessageBox("Upgrade success", "Done");
  }
  return true;
}

void CloseIfStill(const UpgradeLink& link) {
  if (!link.Same()) return;
  if (LinkCloseFn close = state.link_close.load(std::memory_order_acquire)) close();
}

}  // namespace

LoaderBuffer LoaderBlock(std::uint32_t address, std::span<const std::uint8_t> data) {
  LoaderBuffer buffer{};
  buffer[0] = wire::LOADER_BLOCK;
  buffer[1] = static_cast<std::uint8_t>(address >> 16);
  buffer[2] = static_cast<std::uint8_t>(address >> 8);
  buffer[3] = static_cast<std::uint8_t>(address);
  std::memcpy(buffer.data() + 4, data.data(), std::min(data.size(), kLoaderBlockData));
  return buffer;
}

LoaderBuffer LoaderMessage(std::uint8_t code) {
  LoaderBuffer buffer{};
  buffer[0] = code;
  return buffer;
}

std::uint32_t UpgradePercent(std::uint64_t offset, std::uint64_t size) {
  if (size == 0 || offset >= size) return 100;
  return static_cast<std::uint32_t>(offset * 100 / size);
}

bool LoadFirmwareImage(const std::string& path, std::string& bytes, std::string& why) {
  std::string error;
  std::uint64_t size = 0;
  switch (platform::ReadFileUpTo(path, kLoaderImageLimit, bytes, error, size)) {
    case platform::BoundedRead::kRead: break;
    case platform::BoundedRead::kNotAFile:
      why = "the firmware image " + path + " is " + error;
      return false;
    case platform::BoundedRead::kTooLarge:
      why = "the firmware image " + path + " has " + std::to_string(size) + " bytes, more than the " +
            std::to_string(kLoaderImageLimit) + " a 24-bit block address reaches";
      return false;
    case platform::BoundedRead::kMissing:
    case platform::BoundedRead::kFailed:
      why = "cannot read the firmware image " + path + (error.empty() ? "" : ": " + error);
      return false;
  }
  if (bytes.empty()) {
    why = "the firmware image " + path + " is empty";
    return false;
  }
  return true;
}

void SetUpgradePacing(const UpgradePacing& pacing) {
  static UpgradePacing stored;  // written before the upgrade runs, by the test's thread
  stored = pacing;
  pacing_override.store(&stored, std::memory_order_release);
}

void FirmwareUpgrade() {
  const UpgradePacing pacing = Pacing();
  const UpgradeLink link;
  // The loader hears that an image is coming before the file is looked for, so a prompt the
  // user cancels gives it a begin and an end.
  const bool begun = link.Send(LoaderMessage(wire::LOADER_BEGIN), 1);
  std::string image;
  const bool have_image = OpenImage(image);
  const bool sent = have_image && SendImage(link, image, begun, pacing);
  state.upgrade_requested = false;
  if (!have_image || sent) {
    WaitMs(pacing.before_end_ms);
    link.Send(LoaderMessage(wire::LOADER_END), 1);
    WaitMs(pacing.after_end_ms);
    // A board that restarted on its own and came back is not sent away again.
    CloseIfStill(link);
    WaitMs(pacing.restart_ms, [&] { return link.Replaced(); });
  } else {
    // Stopped short with the link still open: no end, which would have the loader write what it
    // holds; the close restarts the board into its loader, ready for the image afresh.
    CloseIfStill(link);
  }
  PostProgress(kProgressDone);
}

}  // namespace kv
