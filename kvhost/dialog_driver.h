// kvhost at the plug-in's dialog, as a user at the screen: it sees every message box, answers
// the "open file" dialog, clicks the dialog's controls and runs the host thread's message loop,
// which delivers the messages the plug-in posts to its dialog (the upgrade progress).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "plugin_api.h"

namespace kvhost {

class DialogDriver {
 public:
  // Installs the process's message-box and file-dialog handlers; `print` puts each box on
  // standard output as "[message box] CAPTION: TEXT".
  explicit DialogDriver(bool print);
  ~DialogDriver();  // removes them
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;

  // What the file dialog answers from now on: the path, `answers` times (then it is cancelled),
  // or, with no path, cancelled every time.
  void AnswerFileDialog(std::optional<std::string> path, int answers = 1);
  int FileDialogRequests() const;
  std::vector<std::string> Boxes() const;  // the text of every box shown so far
  bool BoxShown(const std::string& part) const;

  // Config, then the plug-in's dialog (null when it showed none).
  platform::Dialog* Open(const PluginApi& api) const;
  // Runs the message loop until `done` holds or the time is up; `tick` after each round.
  bool PumpUntil(const std::function<bool()>& done, int timeout_ms, const std::function<void()>& tick = {}) const;

 private:
  mutable std::mutex lock_;  // protects the values below: the plug-in asks from two threads
  std::optional<std::string> answer_;
  int answers_left_ = 0;
  int requests_ = 0;
  std::vector<std::string> boxes_;
};

}  // namespace kvhost
