// Configuration upload and the reload request, sent from the dialog on the host thread.
#include "ui/board_files.h"

#include <memory>

#include "link/link_interface.h"
#include "platform/file.h"
#include "runtime/commands.h"
#include "runtime/packet_buffer.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

void CloseLink() {
  if (LinkCloseFn close = state.link_close.load(std::memory_order_acquire)) close();
}

}  // namespace

bool IsConfigFileName(std::string_view path) { return path.find("xconf.") != std::string_view::npos; }

bool UploadConfigFile(const std::string& path, std::string& why) {
  std::string bytes, error;
  std::uint64_t size = 0;
  switch (platform::ReadFileUpTo(path, kConfigFileMaxBytes, bytes, error, size)) {
    case platform::BoundedRead::kRead: break;
    case platform::BoundedRead::kNotAFile:
      why = path + " is " + error;
      return false;
    case platform::BoundedRead::kTooLarge:
      why = path + " has " + std::to_string(size) + " bytes, more than the " + std::to_string(kConfigFileMaxBytes) +
            " one frame carries";
      return false;
    case platform::BoundedRead::kMissing:
    case platform::BoundedRead::kFailed:
      why = "cannot read " + path + (error.empty() ? "" : ": " + error);
      return false;
  }
  auto frame = std::make_unique<PacketBuffer>(wire::CONFIG_FILE);
  frame->PutBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  LinkSendFrame(std::move(frame));
  CloseLink();
  return true;
}

void RequestReload() {
  LinkSendFrame(std::make_unique<PacketBuffer>(wire::RELOAD_REQUEST));
  CloseLink();
}

}  // namespace kv
