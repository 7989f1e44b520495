// The screen, the file dialog and the message loop kvhost gives the plug-in.
#include "dialog_driver.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "platform/interrupt.h"
#include "platform/message_box.h"

namespace kvhost {

DialogDriver::DialogDriver(bool print) {
  platform::SetMessageBoxHandler([this, print](std::string_view text, std::string_view caption) {
    if (print) {
      std::printf("[message box] %.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                  static_cast<int>(text.size()), text.data());
    }
    std::lock_guard<std::mutex> guard(lock_);
    boxes_.emplace_back(text);
  });
  platform::SetOpenFileHandler([this](std::string_view) {
    std::lock_guard<std::mutex> guard(lock_);
    ++requests_;
    if (!answer_ || answers_left_ <= 0) return platform::OpenFileAnswer{platform::FileChoice::kCancelled, ""};
    --answers_left_;
    return platform::OpenFileAnswer{platform::FileChoice::kChosen, *answer_};
  });
}

DialogDriver::~DialogDriver() {
  platform::SetOpenFileHandler({});
  platform::SetMessageBoxHandler({});
}

void DialogDriver::AnswerFileDialog(std::optional<std::string> path, int answers) {
  std::lock_guard<std::mutex> guard(lock_);
  answer_ = std::move(path);
  answers_left_ = answers;
}

int DialogDriver::FileDialogRequests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

std::vector<std::string> DialogDriver::Boxes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return boxes_;
}

bool DialogDriver::BoxShown(const std::string& part) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const std::string& box : boxes_) {
    if (box.find(part) != std::string::npos) return true;
  }
  return false;
}

platform::Dialog* DialogDriver::Open(const PluginApi& api) const {
  api.Config();
  std::vector<platform::Dialog*> dialogs = platform::OpenDialogs();
  return dialogs.empty() ? nullptr : dialogs.front();
}

bool DialogDriver::PumpUntil(const std::function<bool()>& done, int timeout_ms, const std::function<void()>& tick) const {
  const std::uint32_t start = platform::TickMs();
  for (;;) {
    platform::PumpWindowMessages();
    if (tick) tick();
    if (done()) return true;
    if (static_cast<std::int32_t>(platform::TickMs() - start) >= timeout_ms || platform::InterruptRequested()) {
      return false;
    }
    platform::SleepMs(5);
  }
}

}  // namespace kvhost
