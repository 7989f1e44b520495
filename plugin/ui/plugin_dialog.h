// The plug-in dialog: the board's identity and the pendant choice. Created by the first Config
// and shown again by every later one; destroyed by StopPlug.
#pragma once

namespace kv {

class PluginDialog {
 public:
  void Show() { ++shows_; }
  int shows() const { return shows_; }

 private:
  int shows_ = 0;
};

// Config: creates the dialog once (owner: host_window), shows it and refreshes its fields.
void OpenPluginDialog();
// StopPlug: detaches host_window, destroys the dialog and deletes host_window.
void DestroyPluginDialog();

}  // namespace kv
