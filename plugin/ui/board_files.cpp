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

bool IsConfigFileName(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.find("xconf.") != std::string_view::npos;
}

bool UploadConfigFile(const std::string& path, std::string& why) {
  std::string bytes, error;
  if (platform::ReadWholeFile(path, bytes, error) != platform::FileRead::kRead) {
    why = "cannot read " + path + (error.empty() ? "" : ": " + error);
    return false;
  }
  if (bytes.size() > kConfigFileMaxBytes) {
    why = path + " has " + std::to_string(bytes.size()) + " bytes, more than the " +
          std::to_string(kConfigFileMaxBytes) + " one frame carries";
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
