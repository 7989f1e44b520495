// The plug-in's whole shared working state, in one place.
// Every value that more than one module or thread uses lives here, grouped by the thread that
// writes it in normal operation; each is atomic so that readers on other threads see it whole.
// Module-private state stays in its module.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "shell/atomic_text.h"
#include "shell/host_contract.h"

namespace kv {

class Packet;
class HostWindow;
class CPluginDlg;

// Link operations, installed by the transport that connects (contracts in link/link_interface.h).
using LinkIsOpenFn = bool (*)();
using LinkCloseFn = bool (*)();
using LinkSendFrameFn = bool (*)(std::unique_ptr<Packet> packet);
using LinkSendRawFn = bool (*)(const std::uint8_t* bytes, std::int32_t length);
using LinkReceiveFn = void (*)(std::span<const std::uint8_t> body);

// Link kinds, as the dialog shows them.
inline constexpr std::int32_t kLinkNone = 0;
inline constexpr std::int32_t kLinkEthernet = 1;
inline constexpr std::int32_t kLinkUsb = 2;

// Host input signal numbers with a fixed meaning.
inline constexpr int LimitInputA(int axis) { return 3 * axis; }
inline constexpr int LimitInputB(int axis) { return 3 * axis + 1; }
inline constexpr int HomeInput(int axis) { return 3 * axis + 2; }
inline constexpr int kProbeInput = 22;
inline constexpr int kSpindleIndexInput = 23;
inline constexpr int kLimitBypassInput = 24;
inline constexpr int kEstopInput = 25;

struct MpgAxisInput {
  std::atomic<std::int32_t> pin{0};
  std::atomic<std::int32_t> axis{0};
};
struct MpgStepInput {
  std::atomic<std::int32_t> pin{0};
  std::atomic<std::int32_t> step{0};
};

// The plug-in's life inside the host.
enum class PluginPhase : std::uint8_t { kLoaded, kNamed, kInitialised, kRunning, kStopped };

struct PluginState {
  std::atomic<PluginPhase> phase{PluginPhase::kLoaded};  // host thread

  // --- host references: written on the host thread by the entry points, never cleared ---
  std::atomic<host::EngineBlock*> engine{nullptr};
  std::atomic<host::SetupBlock*> setup{nullptr};
  std::atomic<host::PlannerBlock*> planner{nullptr};
  std::atomic<host::HostView*> view{nullptr};
  std::atomic<host::GetDroFn> GetDRO{nullptr};
  std::atomic<host::SetDroFn> SetDRO{nullptr};
  std::atomic<host::GetLedFn> GetLED{nullptr};
  std::atomic<host::SetLedFn> SetLED{nullptr};
  std::atomic<host::CodeFn> Code{nullptr};
  std::atomic<host::DoButtonFn> DoButton{nullptr};
  std::string profile_name;          // host thread only
  std::string plugin_display_name;   // host thread only

  // --- link operations: written by the transport threads ---
  std::atomic<std::uint8_t> link_open{0};
  std::atomic<std::int32_t> link_kind{kLinkNone};
  std::atomic<LinkIsOpenFn> link_is_open{nullptr};
  std::atomic<LinkSendFrameFn> link_send_frame{nullptr};
  std::atomic<LinkSendRawFn> link_send_raw{nullptr};
  std::atomic<LinkCloseFn> link_close{nullptr};
  std::atomic<LinkReceiveFn> link_receive{nullptr};
  std::atomic<std::uint32_t> link_connections{0};  // links opened since load

  // --- board identity: written by the receive parser (defaults set by InitControl) ---
  AtomicText<64> board_series;
  std::atomic<std::int32_t> board_model{-1};
  AtomicText<12> board_serial;
  std::atomic<std::uint32_t> board_firmware{3};
  std::atomic<std::int32_t> board_axes{0};
  std::atomic<std::int32_t> board_freq_khz{0};
  std::atomic<std::uint32_t> pulse_rate_hz{0};  // 0: board not identified

  // --- service task and firmware upgrade ---
  std::atomic<bool> stream_mode{false};
  std::atomic<bool> upgrade_requested{false};
  AtomicText<131> upgrade_path;        // written by the dialog; empty = none
  std::atomic<bool> board_in_loader{false};  // receive parser: the last identification came from the loader
  std::atomic<std::int32_t> idle_rounds{0};

  // --- board feedback: written by the receive parser on the link thread ---
  std::array<std::atomic<std::int32_t>, host::kAxes> board_pos{};
  std::array<std::atomic<std::int32_t>, host::kAxes> pos_offset{};
  std::atomic<bool> pos_synced{false};
  std::atomic<std::int32_t> still_count{0};
  std::atomic<std::uint32_t> segments_sent{0};   // owned by the motion stream
  std::atomic<std::uint32_t> segments_done{0};
  // segments_sent as the parser read it when it last found the board at rest and posted the stop
  std::atomic<std::uint32_t> rest_sent_seen{0};
  std::atomic<std::uint64_t> input_bits{0};
  std::atomic<std::uint64_t> tripped_inputs{0};
  std::atomic<std::uint64_t> stop_mask{0};       // computed by the configuration download
  std::atomic<std::uint8_t> board_mode{0};
  std::array<std::atomic<std::int32_t>, 5> board_counters{};
  std::atomic<bool> counters_fresh{false};
  std::array<std::atomic<std::int32_t>, host::kAxes> backlash_board{};
  std::atomic<bool> backlash_reported{false};    // the board has sent backlash values this run
  std::array<MpgAxisInput, 6> mpg_axis_inputs{};
  std::array<MpgStepInput, 4> mpg_step_inputs{};
  std::array<std::atomic<bool>, 12> softlimit_tripped{};  // 0..5 upper, 6..11 lower

  // --- windows: host thread ---
  std::atomic<HostWindow*> host_window{nullptr};
  std::atomic<CPluginDlg*> plugin_dialog{nullptr};
  std::atomic<void*> dialog_hwnd{nullptr};

  // --- settings: host thread (loaded by SetProName, saved by StopPlug) ---
  std::atomic<std::int32_t> seg_len{3000};       // segment period, microseconds
  std::atomic<std::int32_t> lim_buffer{450};     // board queue window, segments
  std::atomic<std::int32_t> mpg_src{0};          // 1 = KV-MPG pendant
  std::array<std::atomic<std::int32_t>, host::kAxes> backlash_cfg{};
};

extern PluginState state;

// Sets the board identity to what the dialog shows before any board has answered.
void ResetBoardIdentity();

// A per-second quantity of an axis as steps per trajectory segment:
// value x steps_per_unit[axis] x segment_time. The axis must be 0..5.
double steps_per_segment(int axis, double value);

}  // namespace kv
