// The replacement host's own side of the contract: the four blocks it hands to the plug-in, its
// DRO and LED tables, and a record of the buttons pressed and G-code lines run through the
// callbacks. One machine per process, since the callbacks carry no context.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "machine_config.h"
#include "shell/host_contract.h"

namespace kvhost {

// The host's output signals kvhost assigns: the spindle, and the coolant of M7 and M8.
inline constexpr int kSpindleOutput = 0;
inline constexpr int kMistOutput = 1;
inline constexpr int kFloodOutput = 2;

class HostMachine {
 public:
  HostMachine();
  ~HostMachine();
  HostMachine(const HostMachine&) = delete;
  HostMachine& operator=(const HostMachine&) = delete;

  host::EngineBlock& engine() { return *engine_; }
  host::SetupBlock& setup() { return *setup_; }
  host::PlannerBlock& planner() { return *planner_; }
  host::HostView& view() { return *view_; }

  // Puts the machine's axes, speeds and wiring into the host blocks, as the host's setup does.
  void ApplyMachineConfig(const MachineConfig& config);

  double Dro(std::int16_t code) const;
  void SetDro(std::int16_t code, double value);
  bool Led(std::int16_t code) const;
  // The last kKeptCalls button presses and G-code lines, oldest first, and how many came in
  // all: a board may send pendant keys without end, and the record must not grow with them.
  static constexpr std::size_t kKeptCalls = 64;
  std::vector<std::int16_t> Buttons() const;
  std::vector<std::string> CodeLines() const;
  std::uint64_t ButtonCount() const;
  std::uint64_t CodeLineCount() const;
  std::string StatusLine() const { return host::HostStringRead(planner_->status_text); }

  // Called with one line for each button press, G-code line and DRO write the plug-in makes
  // through the callbacks ("host: button N", "host: code \"TEXT\"", "host: dro N = VALUE"), on
  // the plug-in's thread; empty = nothing. Set it before the plug-in starts.
  void SetCallObserver(std::function<void(const std::string& line)> observer) { observer_ = std::move(observer); }

  // The callbacks handed to the plug-in; they reach the machine of this process.
  static double CbGetDro(std::int16_t code);
  static void CbSetDro(std::int16_t code, double value);
  static bool CbGetLed(std::int16_t code);
  static void CbSetLed(std::int16_t code, bool on);
  static void CbCode(const char* line);
  static void CbDoButton(std::int16_t code);

 private:
  std::unique_ptr<host::EngineBlock> engine_;
  std::unique_ptr<host::SetupBlock> setup_;
  std::unique_ptr<host::PlannerBlock> planner_;
  std::unique_ptr<host::HostView> view_;
  std::uint8_t mpg_enable_ = 0;
  std::uint8_t jog_full_speed_ = 0;
  int window_ = 0;  // stands in for the main window's handle
  std::function<void(const std::string&)> observer_;

  // protects the tables below: the plug-in calls back from its link threads
  mutable std::mutex lock_;
  std::map<std::int16_t, double> dros_;
  std::map<std::int16_t, bool> leds_;
  std::deque<std::int16_t> buttons_;
  std::deque<std::string> code_lines_;
  std::uint64_t button_count_ = 0;
  std::uint64_t code_line_count_ = 0;
};

}  // namespace kvhost
