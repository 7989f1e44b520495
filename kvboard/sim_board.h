// SimBoard: a Kalvero board on loopback, for kvhost, the tests and the kvboard program.
//
// It waits for the discovery datagram "hello\0" on 127.0.0.1:discovery_port and connects back
// to plugin_port of the sender (loopback senders only), or connects to 127.0.0.1:plugin_port
// directly; then it answers identification and status polls, keeps every parameter record,
// executes segments, velocity, probe and E-stop commands, and reports executed segments and
// positions every report period, inputs and its mode when they change.
//
//   kvboard::BoardConfig config;
//   config.discovery_port = 0;             // any free port; read it back with DiscoveryPort()
//   kvboard::SimBoard board(config);
//   board.Start();
//   ... send "hello" to board.DiscoveryPort(), accept the board on plugin_port ...
//   board.WaitFor([](const kvboard::Stats& s) { return s.status_polls > 0; }, 2000);
//   board.Stop();
//
// With config.usb it is a simulated HID device instead (see platform/hid_sim.h): it takes the
// host's output reports (62-byte chunks, or 64-byte raw blocks) and sends its frames as input
// reports; opening the device is its connection, unplugging it (DropConnection) the drop.
//
// Threads: a link thread (discovery, connection, receiving and the replies) and a clock thread
// (segment periods and reports). Every public method may be called from any thread. Frames go
// out in the order they were produced, each in one piece; Stop() ends both threads.
#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "board_config.h"
#include "board_stats.h"
#include "link/reassembler.h"
#include "motion_engine.h"
#include "pendant_sim.h"
#include "platform/hid_sim.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "report_builder.h"

namespace kvboard {

struct Record;

class SimBoard {
 public:
  explicit SimBoard(BoardConfig config);
  ~SimBoard();  // stops
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  // Binds the discovery socket (unless connecting directly) and starts the threads. False, with
  // a log line, when the port cannot be bound or a thread cannot start. Call once.
  bool Start();
  void Stop();  // idempotent; returns when both threads have ended

  std::uint16_t DiscoveryPort() const;  // the bound discovery port (0 before Start)
  bool Connected() const;

  Stats Snapshot() const;
  // Polls the snapshot until `done` holds or the time runs out; true when it held.
  bool WaitFor(const std::function<bool(const Stats&)>& done, int timeout_ms) const;

  // Reports on demand. They go out even while silent; false when no plug-in is connected.
  bool SendInputs();                      // the present input levels
  bool SendInputs(std::uint64_t levels);  // any value, e.g. to fake a switch
  bool SendStopReport(std::uint64_t tripped);
  bool SendMode();                        // the present mode
  bool SendMode(std::uint8_t mode);
  bool SendCounters(const std::array<std::int32_t, 5>& counters);
  bool SendBacklash(const std::array<std::int32_t, kAxes>& backlash);
  bool SendSpindleCount(std::uint32_t pulses);
  bool SendRaw(std::span<const std::uint8_t> bytes);  // unframed, as given
  // Pendant bytes in 0xCA 0xAC frames, split to fit what the plug-in accepts.
  bool SendPendantBytes(std::uint8_t channel, std::span<const std::uint8_t> bytes);

  // The simulated pendants on channels 0 and 1 (other channels are refused with false).
  // A pendant announces itself once: the plug-in keeps what it learnt for as long as it runs,
  // and a second announcement would reach it as key bytes.
  bool AnnouncePendant(std::uint8_t channel, std::uint8_t kind);
  bool PressPendantKey(std::uint8_t channel, std::uint8_t key_byte);
  bool ReleasePendantKey(std::uint8_t channel, std::uint8_t key_byte);  // sends key_byte + 128
  // What the pendant has sent and last shown; an empty status for other channels.
  PendantStatus Pendant(std::uint8_t channel) const;

  // The firmware loader. Told to reload (0xFA) the board restarts into its loader; there it
  // answers the identification with status 0 and takes begin, 52-byte blocks whose addresses
  // follow each other from 0, and end. At the end it writes the image and restarts as a normal
  // board running the new version: the 16-bit little-endian word after a leading "KVFW" in the
  // image, or the previous version + 1 for an image without that mark. An end without a
  // complete image restarts it into the loader again.
  // The last image written, as assembled (a short last block comes with its padding).
  std::vector<std::uint8_t> LoaderImage() const;
  // The board falls back into its loader by itself (a failed self-test): the link drops and it
  // comes back answering from the loader.
  void RestartIntoLoader();

  // Fault injection.
  void DropConnection();                        // close the link; reconnects per config
  void ResetConnection();                       // end the link with a reset, not an orderly close
  void StopReading();                           // leave what arrives unread until the link ends
  void SendHalfFrameAndClose();                 // the first half of a position report, then close
  std::size_t SendRandomBytes(std::size_t count);  // garbage on the stream; bytes queued
  void SetSilent(bool silent);                  // no replies or reports; still reads and executes
  // From now on the position reports of `axis` are off by `delta` steps (wrapping at 32 bits),
  // as a board whose position counter jumped; its motion is unchanged.
  void SetPositionReportOffset(int axis, std::int32_t delta);

  // The machine.
  void SetInput(int pin, bool active);  // forces an input level (pin 0: the pendant's E-stop)
  void SetAxisPosition(int axis, std::int32_t steps);

 private:
  enum class Origin : std::uint8_t { kReply, kReport, kPeriodic, kExplicit };

  void LinkLoop();
  void ClockLoop();
  bool WaitForHello(platform::Ipv4Endpoint& target);
  void ReceiveLoop(platform::SocketHandle s);
  void OnConnected(platform::SocketHandle s, platform::Ipv4Endpoint peer, const std::string& peer_name);
  void UsbLinkLoop();
  void UsbReceiveLoop();
  void HandleUsbReportLocked(std::span<const std::uint8_t> report);
  bool SendUsbFrame(std::span<const std::uint8_t> frame);  // send_mu_ held
  void OnDisconnected();
  bool SleepWhileRunning(std::uint32_t ms) const;

  // Everything below ending in Locked runs with mu_ held.
  void HandleBytesLocked(std::span<const std::uint8_t> bytes);
  void HandleFrameLocked(std::span<const std::uint8_t> body);
  void ApplyRecordLocked(const Record& record);
  void ApplyParamLocked(std::uint8_t id, std::span<const std::uint8_t> value);
  void ApplyLoaderMessageLocked();
  void FinishLoaderLocked();
  bool TakeDropRequest();  // the loader fault came due: drop the link (call without mu_)
  void ReportChangesLocked();
  bool PushLocked(Bytes bytes, Origin origin);
  bool PeriodicReportsLocked() const;  // the configured start of the periodic reports has come
  bool PushPeriodicLocked(Bytes bytes, std::uint32_t now);  // now, or after the report latency
  void FaultLocked(const std::string& text);
  std::array<std::int32_t, kAxes> ReportedPositionLocked() const;  // with the report offsets
  void LogLocked(std::string_view text) const;
  // Sends what is queued, in order; takes send_mu_ then mu_, so never call it holding mu_.
  void Flush();
  template <typename Build>
  bool SendExplicit(Build&& build);
  // Sends what the pendant of `channel` produces (Announce, Press or Release).
  template <typename Act>
  bool SendFromPendant(std::uint8_t channel, Act&& act);

  const BoardConfig config_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopped_{false};
  platform::SocketHandle udp_ = platform::kInvalidSocket;  // set before the threads start
  std::atomic<std::uint16_t> discovery_port_{0};
  platform::Thread link_thread_;
  platform::Thread clock_thread_;

  // Lock order: send_mu_ before mu_.
  std::mutex send_mu_;
  platform::SocketHandle sock_ = platform::kInvalidSocket;  // guarded by send_mu_
  bool usb_open_ = false;                                   // guarded by send_mu_: the host has us open
  std::vector<std::uint8_t> usb_pending_;  // link thread only: the first report of the next connection
  std::shared_ptr<platform::SimHidBackend> hid_;             // set before the threads start
  std::shared_ptr<platform::SimHidDevice> usb_device_;       // set before the threads start
  std::string peer_name_;                                   // guarded by mu_

  mutable std::mutex mu_;
  bool connected_ = false;
  bool silent_ = false;
  std::array<std::int32_t, kAxes> report_offset_{};
  bool reset_requested_ = false;  // the link thread ends the connection with a reset
  bool reading_paused_ = false;   // on this connection
  bool end_requested_ = false;    // a send failed: the link thread ends the connection
  std::bitset<256> param_ids_this_connection_;
  bool in_loader_ = false;
  bool restart_requested_ = false;  // 0xFA: drop the link and come back in the loader
  std::deque<Bytes> outbox_;
  // Frames of up to 200 bytes go through the project's reassembler; the plug-in's longer frames
  // (a full segment frame is 243 bytes), which that reassembler cuts at 200, are collected here.
  kv::FrameReassembler reassembler_;
  std::size_t frame_left_ = 0;  // bytes still due to the frame the reassembler is collecting
  std::array<std::uint8_t, kv::wire::kMaxFrameBody> long_frame_{};
  std::size_t long_need_ = 0;
  std::size_t long_have_ = 0;
  std::array<std::uint8_t, 52> loader_msg_{};
  std::size_t loader_need_ = 0;
  std::size_t loader_have_ = 0;
  bool loader_begun_ = false;       // a begin on this connection, no fault since
  std::vector<std::uint8_t> loader_building_;  // the image the blocks assemble
  std::vector<std::uint8_t> loader_image_;     // the last image written
  std::uint16_t firmware_ = 0;
  bool drop_requested_ = false;
  bool loader_drop_done_ = false;
  MotionEngine engine_;
  std::array<PendantSim, 2> pendants_{};
  StatusValues status_;
  std::uint32_t pulse_rate_hz_ = 0;
  std::uint32_t period_us_ = kDefaultSegmentPeriodUs;
  std::uint64_t watch_mask_ = 0;
  std::uint64_t home_mask_ = 0;
  std::uint64_t reported_inputs_ = 0;
  bool inputs_reported_ = false;
  std::uint8_t reported_mode_ = 0;
  std::uint32_t last_report_ms_ = 0;
  bool status_answered_ = false;  // on this connection
  bool motion_seen_ = false;      // a segment frame arrived on this connection
  std::deque<std::pair<std::uint32_t, Bytes>> delayed_;  // periodic reports held back (due tick, frame)
  std::uint64_t period_acc_us_ = 0;
  std::minstd_rand rng_{0x4B56};
  Stats stats_;
};

}  // namespace kvboard
