// The simulated board: its link, its clock, and how it answers and applies the plug-in's frames.
#include "sim_board.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "command_decoder.h"
#include "platform/clock.h"
#include "runtime/commands.h"
#include "runtime/le_bytes.h"

namespace kvboard {
namespace {

namespace wire = kv::wire;

constexpr std::array<std::uint8_t, 6> kHello = {'h', 'e', 'l', 'l', 'o', 0};
constexpr int kWaitSliceMs = 20;           // how often blocked loops look at the stop flag
constexpr std::uint32_t kMaxCatchUpMs = 250;  // a longer clock stall is skipped, not replayed
constexpr std::uint32_t kLateClockMs = 10;    // a clock gap beyond this: the board itself was held up
constexpr std::size_t kOutboxLimit = 4096;
constexpr std::size_t kMaxRandomBytes = 1 << 20;
constexpr std::size_t kReceiveBytes = 2048;
constexpr std::size_t kLoaderBlockBytes = 52;  // 0xC5, 24-bit address, 48 bytes
constexpr std::uint32_t kLoaderImageLimit = 16 * 1024 * 1024;

template <typename T>
void KeepLatest(std::vector<T>& list, T value) {
  if (list.size() >= kTickHistory) list.erase(list.begin());
  list.push_back(value);
}

bool IsLoopback(std::uint32_t address) { return (address >> 24) == 127; }

std::string Endpoint(platform::Ipv4Endpoint e) { return platform::FormatIpv4(e.address) + ":" + std::to_string(e.port); }

}  // namespace

SimBoard::SimBoard(BoardConfig config)
    : config_(std::move(config)), in_loader_(config_.in_loader), firmware_(config_.firmware), engine_(config_) {
  status_.input_polarity = config_.input_polarity;
  status_.output_polarity = config_.output_polarity;
  status_.motor_polarity = config_.motor_polarity;
  status_.motor6_dir = config_.motor6_dir;
  status_.axis_inputs = config_.mpg_axis_inputs;
  status_.step_inputs = config_.mpg_step_inputs;
  pulse_rate_hz_ = PulseRateHz(config_.model, config_.divisor_a, config_.divisor_b);
}

SimBoard::~SimBoard() { Stop(); }

bool SimBoard::Start() {
  if (running_ || stopped_) return false;
  platform::SocketsStartup();
  if (pulse_rate_hz_ == 0) {
    std::lock_guard lock(mu_);
    LogLocked("model " + std::to_string(config_.model) + " with divisors " + std::to_string(config_.divisor_a) + "x" +
              std::to_string(config_.divisor_b) + " has no pulse rate; segments run at the default period");
  }
  if (config_.usb) {
    hid_ = platform::InstallSimHidBackend();
    usb_device_ = hid_->AddDevice({std::u16string(config_.usb_product.begin(), config_.usb_product.end())});
  } else if (!config_.connect_direct) {
    udp_ = platform::UdpSocket();
    if (udp_ == platform::kInvalidSocket || !platform::Bind(udp_, {kLoopback, config_.discovery_port})) {
      platform::CloseSocket(udp_);
      udp_ = platform::kInvalidSocket;
      std::lock_guard lock(mu_);
      LogLocked("cannot bind the discovery port 127.0.0.1:" + std::to_string(config_.discovery_port));
      return false;
    }
    discovery_port_ = platform::LocalEndpoint(udp_).port;
  }
  running_ = true;
  // The board's own processor serves its link and its clock whatever the PC does: raised, so that
  // a busy machine running the simulator does not make the board itself run late.
  link_thread_ = platform::Thread::Start([this] {
    platform::RaiseThreadPriority();
    config_.usb ? UsbLinkLoop() : LinkLoop();
  });
  clock_thread_ = platform::Thread::Start([this] {
    platform::RaiseThreadPriority();
    ClockLoop();
  });
  if (!link_thread_.Running() || !clock_thread_.Running()) {
    std::lock_guard lock(mu_);
    LogLocked("cannot start the board's threads");
    running_ = false;
  }
  if (!running_) {
    Stop();
    return false;
  }
  return true;
}

void SimBoard::Stop() {
  if (stopped_.exchange(true)) return;
  running_ = false;
  {
    std::lock_guard send_lock(send_mu_);
    platform::Shutdown(sock_);  // a receive in progress returns at once
  }
  link_thread_.Join();
  clock_thread_.Join();
  if (hid_) hid_->RemoveDevice(usb_device_);  // the host's pending read fails: unplugged
  platform::CloseSocket(udp_);
  udp_ = platform::kInvalidSocket;
}

std::uint16_t SimBoard::DiscoveryPort() const { return discovery_port_; }

bool SimBoard::Connected() const {
  std::lock_guard lock(mu_);
  return connected_;
}

bool SimBoard::SleepWhileRunning(std::uint32_t ms) const {
  for (std::uint32_t slept = 0; slept < ms && running_; slept += kWaitSliceMs) {
    platform::SleepMs(std::min<std::uint32_t>(kWaitSliceMs, ms - slept));
  }
  return running_;
}

// ---- link ------------------------------------------------------------------------------------

void SimBoard::LinkLoop() {
  bool reported_failure = false;  // one log line per run of failed connects, not one per retry
  while (running_) {
    platform::Ipv4Endpoint target{kLoopback, config_.plugin_port};
    if (!config_.connect_direct && !WaitForHello(target)) break;
    platform::SocketHandle s = platform::TcpSocket(65536);
    if (s == platform::kInvalidSocket || !platform::Connect(s, target)) {
      platform::CloseSocket(s);
      {
        std::lock_guard lock(mu_);
        ++stats_.connect_failures;
        if (!reported_failure) LogLocked("cannot connect to " + Endpoint(target) + "; retrying");
      }
      reported_failure = true;
      SleepWhileRunning(config_.retry_ms == 0 ? 1 : config_.retry_ms);
      continue;
    }
    reported_failure = false;
    platform::SetSendTimeout(s, static_cast<int>(config_.send_timeout_ms));
    OnConnected(s, target, Endpoint(target));
    Flush();
    ReceiveLoop(s);
    bool restart = false;
    {
      std::lock_guard lock(mu_);
      restart = restart_requested_;
      restart_requested_ = false;
    }
    OnDisconnected();
    if (!config_.reconnect && !restart) break;
    if (config_.connect_direct) SleepWhileRunning(config_.retry_ms);
  }
}

bool SimBoard::WaitForHello(platform::Ipv4Endpoint& target) {
  std::array<std::uint8_t, 64> datagram{};
  while (running_) {
    if (!platform::WaitReadable(udp_, kWaitSliceMs * 2)) continue;
    platform::Ipv4Endpoint from{};
    int n = platform::ReceiveFrom(udp_, datagram.data(), static_cast<int>(datagram.size()), &from);
    if (n < 0) {
      platform::SleepMs(kWaitSliceMs);  // a failing socket must not spin
      continue;
    }
    std::lock_guard lock(mu_);
    if (n != static_cast<int>(kHello.size()) || !std::equal(kHello.begin(), kHello.end(), datagram.begin())) {
      ++stats_.bad_datagrams;
      LogLocked("ignoring a " + std::to_string(n) + "-byte datagram from " + Endpoint(from) + " that is not \"hello\"");
      continue;
    }
    ++stats_.hellos;
    if (!IsLoopback(from.address)) {
      // The simulator talks to loopback only, whoever asks.
      ++stats_.refused_peers;
      LogLocked("not answering a discovery datagram from " + Endpoint(from) + ": loopback only");
      continue;
    }
    target = {from.address, config_.plugin_port};
    return true;
  }
  return false;
}

void SimBoard::OnConnected(platform::SocketHandle s, platform::Ipv4Endpoint peer, const std::string& peer_name) {
  std::lock_guard send_lock(send_mu_);
  sock_ = s;
  usb_open_ = config_.usb;
  std::lock_guard lock(mu_);
  peer_name_ = peer_name;
  connected_ = true;
  ++stats_.connections;
  stats_.peer_address = peer.address;
  stats_.peer_port = peer.port;
  reassembler_.Reset();
  frame_left_ = 0;
  long_need_ = 0;
  loader_need_ = 0;
  loader_begun_ = false;
  outbox_.clear();
  inputs_reported_ = false;
  reported_mode_ = 0;
  status_answered_ = false;
  motion_seen_ = false;
  param_ids_this_connection_.reset();
  stats_.param_ids_this_connection = 0;
  stats_.first_codes_this_connection.clear();
  delayed_.clear();
  LogLocked("connected to " + peer_name + " (connection " + std::to_string(stats_.connections) + ")" +
            (in_loader_ ? ", in the loader" : ""));
  // The plug-in learns the switch levels and a non-idle mode at once, not at their next change.
  if (!silent_ && !in_loader_) {
    const std::uint8_t mode = engine_.Mode();
    if (mode != 0) {
      PushLocked(ModeReport(mode), Origin::kReport);
      reported_mode_ = mode;
      KeepLatest(stats_.modes_reported, mode);
    }
  }
  ReportChangesLocked();
}

void SimBoard::OnDisconnected() {
  std::lock_guard send_lock(send_mu_);
  std::lock_guard lock(mu_);
  if (reset_requested_) {
    platform::AbortSocket(sock_);
  } else {
    platform::CloseSocket(sock_);
  }
  sock_ = platform::kInvalidSocket;
  usb_open_ = false;
  reset_requested_ = false;
  end_requested_ = false;
  reading_paused_ = false;
  connected_ = false;
  outbox_.clear();
  ++stats_.disconnects;
  LogLocked("disconnected from " + peer_name_ + " (" + std::to_string(stats_.param_ids_this_connection) +
            " parameter ids received on the connection)");
}

void SimBoard::ReceiveLoop(platform::SocketHandle s) {
  std::array<std::uint8_t, kReceiveBytes> buffer{};
  while (running_) {
    bool paused = false;
    {
      std::lock_guard lock(mu_);
      if (reset_requested_ || end_requested_) return;
      paused = reading_paused_;
    }
    if (paused) {  // what the plug-in sends piles up until its send window is full
      platform::SleepMs(kWaitSliceMs);
      continue;
    }
    const std::uint32_t waited_from = platform::TickMs();
    if (!platform::WaitReadable(s, kWaitSliceMs)) {
      if (platform::TickMs() - waited_from < 2) platform::SleepMs(2);  // an error must not spin
      continue;
    }
    int n = platform::Receive(s, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) return;  // closed by the plug-in, by DropConnection or by Stop
    bool restart = false;
    {
      std::lock_guard lock(mu_);
      HandleBytesLocked(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
      restart = restart_requested_;
    }
    Flush();
    if (restart) return;
    if (TakeDropRequest()) DropConnection();
  }
}

// ---- usb -------------------------------------------------------------------------------------

void SimBoard::UsbLinkLoop() {
  while (running_) {
    if (!usb_device_->HostOpen()) {
      if (!usb_device_->Plugged()) usb_device_->Replug();  // after a drop, or a host's unplug test
      SleepWhileRunning(kWaitSliceMs);
      continue;
    }
    OnConnected(platform::kInvalidSocket, {0, 0}, "the usb host");
    Flush();
    UsbReceiveLoop();
    bool restart = false;
    {
      std::lock_guard lock(mu_);
      restart = restart_requested_;
      restart_requested_ = false;
    }
    if (restart) {
      usb_device_->Unplug();  // the board restarts: it leaves the bus and comes back
      usb_pending_.clear();   // and whatever the host had written is gone with it
    }
    OnDisconnected();
    if (!config_.reconnect && !restart) break;
  }
}

void SimBoard::UsbReceiveLoop() {
  const std::uint64_t opened = usb_device_->HostOpens();
  std::vector<std::uint8_t> report;
  while (running_) {
    if (!usb_pending_.empty()) {
      report = std::exchange(usb_pending_, {});
    } else if (!usb_device_->TakeOutputReport(report, kWaitSliceMs)) {
      // Closed by the host, unplugged, or closed and opened again: the connection is over.
      if (!usb_device_->HostOpen() || usb_device_->HostOpens() != opened) return;
      continue;
    }
    // A report taken after the host opened the device again begins the new connection: applied
    // here, inside the old one, it would build state (a loader image, say) that the new
    // connection's start then wipes, though the host sent it all on the new handle.
    if (usb_device_->HostOpens() != opened) {
      usb_pending_ = std::move(report);
      return;
    }
    bool restart = false;
    {
      std::lock_guard lock(mu_);
      HandleUsbReportLocked(report);
      restart = restart_requested_;
    }
    Flush();
    if (restart) return;
    if (TakeDropRequest()) DropConnection();
  }
}

// A report is [ID][count][sequence][count bytes], or [ID][64 raw bytes] when the byte in the
// count's place is a loader command (never a count, which is at most 62).
void SimBoard::HandleUsbReportLocked(std::span<const std::uint8_t> report) {
  constexpr std::size_t kMaxChunk = 62;
  if (report.size() < 2) return;
  const std::uint8_t n = report[1];
  if (n > kMaxChunk) {
    std::size_t length = report.size() - 1;
    if (n == wire::LOADER_BLOCK) length = std::min(length, kLoaderBlockBytes);
    if (n == wire::LOADER_BEGIN || n == wire::LOADER_END) length = 1;
    HandleBytesLocked(report.subspan(1, length));
    return;
  }
  if (report.size() < 3) return;
  HandleBytesLocked(report.subspan(3, std::min<std::size_t>(n, report.size() - 3)));
}

// The frame in input reports of at most 62 bytes each; false when the host stopped reading.
bool SimBoard::SendUsbFrame(std::span<const std::uint8_t> frame) {
  constexpr std::size_t kMaxChunk = 62;
  std::array<std::uint8_t, 65> report{};
  for (std::size_t at = 0; at < frame.size();) {
    const std::size_t n = std::min(kMaxChunk, frame.size() - at);
    report.fill(0);
    report[1] = static_cast<std::uint8_t>(n);
    std::memcpy(report.data() + 3, frame.data() + at, n);
    if (!usb_device_->SendInputReport(report, static_cast<int>(config_.send_timeout_ms))) return false;
    if (config_.capture) config_.capture(report);
    at += n;
  }
  return true;
}

void SimBoard::Flush() {
  std::lock_guard send_lock(send_mu_);
  for (;;) {
    Bytes bytes;
    {
      std::lock_guard lock(mu_);
      if (outbox_.empty()) return;
      bytes = std::move(outbox_.front());
      outbox_.pop_front();
    }
    if (usb_open_) {
      const bool sent = SendUsbFrame(bytes);
      std::lock_guard lock(mu_);
      if (!sent) {
        ++stats_.send_failures;
        outbox_.clear();
        LogLocked("usb send failed; dropping what is queued");
        return;
      }
      ++stats_.frames_sent;
      stats_.bytes_sent += bytes.size();
      continue;
    }
    if (sock_ == platform::kInvalidSocket) continue;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      int n = platform::Send(sock_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    std::lock_guard lock(mu_);
    if (sent < bytes.size()) {
      // A peer that stopped reading or went away: end the link rather than send cut frames.
      ++stats_.send_failures;
      outbox_.clear();
      LogLocked("send failed; closing the link");
      platform::Shutdown(sock_);
      end_requested_ = true;  // a link thread that no longer reads would not see the end
      return;
    }
    ++stats_.frames_sent;
    stats_.bytes_sent += bytes.size();
    if (config_.capture) config_.capture(bytes);
  }
}

// ---- receiving -------------------------------------------------------------------------------

void SimBoard::HandleBytesLocked(std::span<const std::uint8_t> bytes) {
  stats_.bytes_received += bytes.size();
  auto deliver = [this](std::span<const std::uint8_t> body) { HandleFrameLocked(body); };
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (loader_need_ != 0) {  // the rest of a raw loader message
      const std::size_t take = std::min(loader_need_ - loader_have_, bytes.size() - at);
      std::memcpy(loader_msg_.data() + loader_have_, bytes.data() + at, take);
      loader_have_ += take;
      at += take;
      if (loader_have_ == loader_need_) {
        ApplyLoaderMessageLocked();
        loader_need_ = 0;
      }
      continue;
    }
    if (long_need_ != 0) {  // the rest of a frame longer than the reassembler takes
      const std::size_t take = std::min(long_need_ - long_have_, bytes.size() - at);
      std::memcpy(long_frame_.data() + long_have_, bytes.data() + at, take);
      long_have_ += take;
      at += take;
      if (long_have_ == long_need_) {
        long_need_ = 0;
        HandleFrameLocked(std::span<const std::uint8_t>(long_frame_.data(), long_have_));
      }
      continue;
    }
    if (frame_left_ == 0) {
      const std::uint8_t first = bytes[at];
      if (in_loader_ && (first == wire::LOADER_BEGIN || first == wire::LOADER_BLOCK || first == wire::LOADER_END)) {
        loader_need_ = first == wire::LOADER_BLOCK ? kLoaderBlockBytes : 1;
        loader_have_ = 0;
        continue;
      }
      ++at;
      if (first > wire::kMaxReceivedBody) {
        ++stats_.long_frames;
        long_need_ = first;
        long_have_ = 0;
        continue;
      }
      frame_left_ = first;
      reassembler_.Feed(bytes.subspan(at - 1, 1), deliver);
      continue;
    }
    const std::size_t take = std::min(frame_left_, bytes.size() - at);
    reassembler_.Feed(bytes.subspan(at, take), deliver);
    at += take;
    frame_left_ -= take;
  }
}

void SimBoard::HandleFrameLocked(std::span<const std::uint8_t> body) {
  ++stats_.frames_received;
  ++stats_.frames_by_code[body[0]];
  if (stats_.first_codes_this_connection.size() < kFirstCodesKept) stats_.first_codes_this_connection.push_back(body[0]);
  if (config_.verbose) LogLocked("rx " + HexBytes(body, 256));
  DecodedFrame frame = DecodeFrame(body);
  for (const Record& r : frame.records) {
    ++stats_.records_by_code[r.code];
    ApplyRecordLocked(r);
  }
  if (frame.error) {
    ++stats_.malformed;
    FaultLocked("cannot decode a frame: " + frame.error->Describe() + "; frame " + HexBytes(body));
  }
  ReportChangesLocked();
}

void SimBoard::ApplyRecordLocked(const Record& r) {
  const std::uint32_t now = platform::TickMs();
  auto keep = [now](std::map<std::uint8_t, ParamRecord>& into, std::uint8_t id, std::span<const std::uint8_t> v) {
    ParamRecord& p = into[id];
    p.value.assign(v.begin(), v.end());
    ++p.count;
    p.last_ms = now;
  };
  auto invalid = [&](const std::string& what) {
    ++stats_.invalid_commands;
    FaultLocked(what + ": " + HexBytes(r.value));
  };
  const auto& v = r.value;
  switch (r.kind) {
    case RecordKind::kParam:
      ++stats_.param_records;
      if (!param_ids_this_connection_.test(r.id)) {
        param_ids_this_connection_.set(r.id);
        stats_.param_ids_this_connection = static_cast<std::uint32_t>(param_ids_this_connection_.count());
      }
      keep(stats_.params, r.id, v);
      ApplyParamLocked(r.id, v);
      break;
    case RecordKind::kPolarity:
      // The board takes these as its stored polarities, which its status reply reports.
      ++stats_.param_records;
      keep(stats_.polarities, r.id, v);
      if (r.id == 5) status_.input_polarity = kv::GetLe<std::uint64_t>(v, 0);
      if (r.id == 69) status_.output_polarity = kv::GetLe<std::uint32_t>(v, 0);
      if (r.id == 101) status_.motor_polarity = kv::GetLe<std::uint32_t>(v, 0);
      break;
    case RecordKind::kStatusPoll:
      ++stats_.status_polls;
      KeepLatest(stats_.status_poll_ms, now);
      PushLocked(StatusReply(status_), Origin::kReply);
      status_answered_ = true;
      break;
    case RecordKind::kKeepAlive: ++stats_.keep_alives; break;
    case RecordKind::kSegments:
      motion_seen_ = true;
      if (stats_.segment_frames > 0 && engine_.Counters().queue_depth > 0) {
        const std::uint32_t gap = now - stats_.last_segment_frame_ms;
        ++stats_.segment_frame_gap_ms[std::min<std::size_t>(gap, kGapBuckets - 1)];
      }
      ++stats_.segment_frames;
      stats_.last_segment_frame_ms = now;
      engine_.QueueSegments(v);
      break;
    case RecordKind::kPendant: {
      if (v.empty()) break;  // a count of 0 carries not even a channel
      const std::uint8_t channel = v[0];
      if (channel > 1) {
        invalid("pendant data for channel " + std::to_string(channel));
        break;
      }
      ++stats_.pendant_frames[channel];
      stats_.pendant_last[channel].assign(v.begin() + 1, v.end());
      pendants_[channel].OnMessage(v.subspan(1));
      break;
    }
    case RecordKind::kVelocityMove: {
      ++stats_.velocity_moves;
      const std::int32_t speed = kv::GetLe<std::int32_t>(v, 2);
      if (!engine_.VelocityMove(v[0], v[1] != 0, speed) && !engine_.Disabled()) invalid("velocity move refused");
      break;
    }
    case RecordKind::kVelocityStop:
      ++stats_.velocity_stops;
      if (!engine_.VelocityStop(v[0])) invalid("velocity stop for no axis");
      break;
    case RecordKind::kEStop:
      ++stats_.estops;
      stats_.last_estop_us = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
      engine_.EStop();
      break;
    case RecordKind::kEnable:
      ++stats_.enables;
      engine_.Enable();
      break;
    case RecordKind::kStreamClose: engine_.CloseStream(); break;
    case RecordKind::kProbeMove: {
      ++stats_.probe_commands;
      const bool started =
          engine_.ProbeMove(v[0], kv::GetLe<std::int32_t>(v, 1), kv::GetLe<std::int32_t>(v, 5));
      if (!started && !engine_.Disabled()) invalid("probe move for no axis");
      // The plug-in marks itself probing when it sends this and waits for another mode, so the
      // board always answers with its mode; the end of the probe follows from the clock.
      const std::uint8_t mode = engine_.Mode();
      if (PushLocked(ModeReport(mode), Origin::kReport)) {
        reported_mode_ = mode;
        KeepLatest(stats_.modes_reported, mode);
      }
      break;
    }
    case RecordKind::kIdentRequest:
      ++stats_.ident_requests;
      KeepLatest(stats_.ident_request_ms, now);
      PushLocked(IdentReply(config_, in_loader_, firmware_), Origin::kReply);
      break;
    case RecordKind::kPluginStop:
      // The host is going away: no jog may outlive it.
      ++stats_.plugin_stops;
      stats_.last_plugin_stop_ms = now;
      engine_.StopAllVelocity();
      break;
    case RecordKind::kConfigFile:
      ++stats_.config_file_frames;
      stats_.config_file.assign(v.begin(), v.end());
      break;
    case RecordKind::kReload:
      // Restart into the loader: the link drops and comes back answering as the loader.
      ++stats_.reload_requests;
      ++stats_.loader_reloads;
      in_loader_ = true;
      restart_requested_ = true;
      LogLocked("reload requested: restarting into the loader");
      break;
  }
}

void SimBoard::ApplyParamLocked(std::uint8_t id, std::span<const std::uint8_t> v) {
  auto six = [&] {
    std::array<std::int32_t, kAxes> values{};
    for (int k = 0; k < kAxes; ++k) values[k] = kv::GetLe<std::int32_t>(v, static_cast<std::size_t>(4 * k));
    return values;
  };
  switch (id) {
    case 34: {
      const auto figure = kv::GetLe<std::uint32_t>(v, 0);
      if (auto period = SegmentPeriodUs(figure, pulse_rate_hz_)) {
        period_us_ = *period;
        engine_.SetTiming(period_us_, pulse_rate_hz_);
      } else {
        FaultLocked("cannot derive a segment period from pulse figure " + std::to_string(figure) + " at " +
                    std::to_string(pulse_rate_hz_) + " Hz; keeping " + std::to_string(period_us_) + " us");
      }
      break;
    }
    case 23:
      watch_mask_ = kv::GetLe<std::uint64_t>(v, 0);
      engine_.SetWatchMasks(watch_mask_, home_mask_);
      break;
    case 24:
      home_mask_ = kv::GetLe<std::uint64_t>(v, 0);
      engine_.SetWatchMasks(watch_mask_, home_mask_);
      break;
    case 26: engine_.SetMaxSpeed(six()); break;
    case 27: engine_.SetAcceleration(six()); break;
    default: break;  // kept in the stats only
  }
}

void SimBoard::ApplyLoaderMessageLocked() {
  switch (loader_msg_[0]) {
    case wire::LOADER_BEGIN:
      ++stats_.loader_begins;
      loader_begun_ = true;
      loader_building_.clear();
      stats_.loader_image_bytes = 0;
      stats_.loader_image_hash = 1469598103934665603ull;
      break;
    case wire::LOADER_BLOCK: {
      ++stats_.loader_blocks;
      const std::uint32_t address = (static_cast<std::uint32_t>(loader_msg_[1]) << 16) |
                                    (static_cast<std::uint32_t>(loader_msg_[2]) << 8) | loader_msg_[3];
      const std::uint32_t end = address + (kLoaderBlockBytes - 4);
      if (!loader_begun_) {
        ++stats_.loader_bad_blocks;
        FaultLocked("loader block at " + std::to_string(address) + " without a begin");
        break;
      }
      if (end > kLoaderImageLimit || address != loader_building_.size()) {
        // A gap or an overlap would leave the flash with bytes nobody sent: the image is void.
        ++stats_.loader_bad_blocks;
        FaultLocked("loader block at " + std::to_string(address) + ", expected " +
                    std::to_string(loader_building_.size()) + "; image discarded");
        loader_begun_ = false;
        break;
      }
      loader_building_.insert(loader_building_.end(), loader_msg_.begin() + 4, loader_msg_.begin() + kLoaderBlockBytes);
      stats_.loader_image_bytes = std::max(stats_.loader_image_bytes, end);
      for (std::size_t i = 4; i < kLoaderBlockBytes; ++i) {
        stats_.loader_image_hash = (stats_.loader_image_hash ^ loader_msg_[i]) * 1099511628211ull;
      }
      if (config_.drop_after_loader_blocks != 0 && !loader_drop_done_ &&
          stats_.loader_blocks >= config_.drop_after_loader_blocks) {
        loader_drop_done_ = true;
        drop_requested_ = true;
      }
      break;
    }
    case wire::LOADER_END:
      ++stats_.loader_ends;
      FinishLoaderLocked();
      break;
    default: break;
  }
}

void SimBoard::FinishLoaderLocked() {
  restart_requested_ = true;  // the loader restarts the board either way
  if (!loader_begun_ || loader_building_.empty()) {
    LogLocked("loader: end without a complete image; restarting into the loader");
    return;
  }
  loader_image_ = std::move(loader_building_);
  loader_building_.clear();
  loader_begun_ = false;
  const auto& image = loader_image_;
  if (image.size() >= 6 && std::equal(image.begin(), image.begin() + 4, "KVFW")) {
    firmware_ = static_cast<std::uint16_t>(image[4] | (image[5] << 8));
  } else {
    ++firmware_;
  }
  in_loader_ = false;
  ++stats_.upgrades;
  LogLocked("loader: " + std::to_string(image.size() / (kLoaderBlockBytes - 4)) +
            " blocks written; restarting with firmware " + std::to_string(firmware_));
}

bool SimBoard::TakeDropRequest() {
  std::lock_guard lock(mu_);
  return std::exchange(drop_requested_, false);
}

void SimBoard::RestartIntoLoader() {
  {
    std::lock_guard lock(mu_);
    in_loader_ = true;
    LogLocked("restarting into the loader");
  }
  DropConnection();
}

std::vector<std::uint8_t> SimBoard::LoaderImage() const {
  std::lock_guard lock(mu_);
  return loader_image_;
}

// ---- sending ---------------------------------------------------------------------------------

bool SimBoard::PeriodicReportsLocked() const {
  switch (config_.reports_from) {
    case ReportsFrom::kConnect: return true;
    case ReportsFrom::kStatus: return status_answered_;
    case ReportsFrom::kMotion: return motion_seen_;
  }
  return true;
}

bool SimBoard::PushPeriodicLocked(Bytes bytes, std::uint32_t now) {
  if (config_.report_latency_ms == 0) return PushLocked(std::move(bytes), Origin::kPeriodic);
  if (!connected_ || silent_) return false;
  delayed_.emplace_back(now + config_.report_latency_ms, std::move(bytes));
  return true;
}

bool SimBoard::PushLocked(Bytes bytes, Origin origin) {
  if (!connected_) return false;
  if (silent_ && origin != Origin::kExplicit) return false;
  if (bytes.empty()) {
    FaultLocked("internal: a frame did not fit");
    return false;
  }
  if (outbox_.size() >= kOutboxLimit) {
    ++stats_.outbox_overflows;
    return false;
  }
  if (config_.verbose && origin != Origin::kPeriodic) LogLocked("tx " + HexBytes(bytes, 256));
  outbox_.push_back(std::move(bytes));
  return true;
}

void SimBoard::ReportChangesLocked() {
  if (!connected_ || silent_ || in_loader_) return;  // changes stay pending until they can go out
  if (auto tripped = engine_.TakeStopReport()) {
    PushLocked(StopReport(*tripped), Origin::kReport);
    ++stats_.stop_reports;
  }
  const std::uint64_t inputs = engine_.Inputs();
  if (!inputs_reported_ || inputs != reported_inputs_) {
    PushLocked(InputReport(inputs), Origin::kReport);
    reported_inputs_ = inputs;
    inputs_reported_ = true;
    ++stats_.input_reports;
  }
  const std::uint8_t mode = engine_.Mode();
  if (mode != reported_mode_) {
    // The position first: the plug-in takes the home position when the mode leaves 4.
    PushLocked(PositionReport(ReportedPositionLocked()), Origin::kReport);
    ++stats_.position_reports;
    PushLocked(ModeReport(mode), Origin::kReport);
    reported_mode_ = mode;
    KeepLatest(stats_.modes_reported, mode);
  }
}

template <typename Build>
bool SimBoard::SendExplicit(Build&& build) {
  bool queued = false;
  {
    std::lock_guard lock(mu_);
    queued = PushLocked(build(), Origin::kExplicit);
  }
  Flush();
  return queued;
}

bool SimBoard::SendInputs() {
  bool queued = false;
  {
    std::lock_guard lock(mu_);
    const std::uint64_t inputs = engine_.Inputs();
    queued = PushLocked(InputReport(inputs), Origin::kExplicit);
    if (queued) {
      reported_inputs_ = inputs;
      inputs_reported_ = true;
      ++stats_.input_reports;
    }
  }
  Flush();
  return queued;
}

bool SimBoard::SendInputs(std::uint64_t levels) { return SendExplicit([&] { return InputReport(levels); }); }
bool SimBoard::SendStopReport(std::uint64_t tripped) { return SendExplicit([&] { return StopReport(tripped); }); }

bool SimBoard::SendMode() {
  bool queued = false;
  {
    std::lock_guard lock(mu_);
    const std::uint8_t mode = engine_.Mode();
    queued = PushLocked(ModeReport(mode), Origin::kExplicit);
    if (queued) {
      reported_mode_ = mode;
      KeepLatest(stats_.modes_reported, mode);
    }
  }
  Flush();
  return queued;
}

bool SimBoard::SendMode(std::uint8_t mode) { return SendExplicit([&] { return ModeReport(mode); }); }
bool SimBoard::SendCounters(const std::array<std::int32_t, 5>& c) { return SendExplicit([&] { return CounterReport(c); }); }
bool SimBoard::SendBacklash(const std::array<std::int32_t, kAxes>& b) {
  return SendExplicit([&] { return BacklashReport(b); });
}
bool SimBoard::SendSpindleCount(std::uint32_t pulses) { return SendExplicit([&] { return SpindleReport(pulses); }); }
bool SimBoard::SendRaw(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return Connected();
  return SendExplicit([&] { return Bytes(bytes.begin(), bytes.end()); });
}

bool SimBoard::SendPendantBytes(std::uint8_t channel, std::span<const std::uint8_t> bytes) {
  bool queued = true;
  {
    std::lock_guard lock(mu_);
    do {
      const std::size_t n = std::min(bytes.size(), kMaxPendantBytesPerFrame);
      queued = PushLocked(PendantFrame(channel, bytes.first(n)), Origin::kExplicit) && queued;
      bytes = bytes.subspan(n);
    } while (!bytes.empty() && queued);
  }
  Flush();
  return queued;
}

template <typename Act>
bool SimBoard::SendFromPendant(std::uint8_t channel, Act&& act) {
  if (channel >= pendants_.size()) return false;
  std::vector<std::uint8_t> bytes;
  {
    std::lock_guard lock(mu_);
    bytes = act(pendants_[channel]);
  }
  return SendPendantBytes(channel, bytes);
}

bool SimBoard::AnnouncePendant(std::uint8_t channel, std::uint8_t kind) {
  return SendFromPendant(channel, [&](PendantSim& p) { return p.Announce(kind); });
}

bool SimBoard::PressPendantKey(std::uint8_t channel, std::uint8_t key_byte) {
  return SendFromPendant(channel, [&](PendantSim& p) { return p.Press(key_byte); });
}

bool SimBoard::ReleasePendantKey(std::uint8_t channel, std::uint8_t key_byte) {
  return SendFromPendant(channel, [&](PendantSim& p) { return p.Release(key_byte); });
}

PendantStatus SimBoard::Pendant(std::uint8_t channel) const {
  if (channel >= pendants_.size()) return {};
  std::lock_guard lock(mu_);
  return pendants_[channel].Status();
}

// ---- fault injection and the machine ---------------------------------------------------------

void SimBoard::DropConnection() {
  std::lock_guard send_lock(send_mu_);
  if (usb_open_) {
    usb_device_->Unplug();  // the link thread sees the host gone and plugs it back in
    std::lock_guard lock(mu_);
    ++stats_.drops_injected;
    LogLocked("unplugging the usb device");
    return;
  }
  if (sock_ == platform::kInvalidSocket) return;
  platform::Shutdown(sock_);  // the link thread sees the end of the stream and closes
  std::lock_guard lock(mu_);
  ++stats_.drops_injected;
  LogLocked("dropping the connection");
}

void SimBoard::ResetConnection() {
  std::lock_guard lock(mu_);
  if (!connected_ || config_.usb) return;
  reset_requested_ = true;  // the link thread sees it within a wait slice
  ++stats_.drops_injected;
  LogLocked("resetting the connection");
}

void SimBoard::StopReading() {
  std::lock_guard lock(mu_);
  if (!connected_) return;
  reading_paused_ = true;
  LogLocked("no longer reading what the plug-in sends");
}

void SimBoard::SendHalfFrameAndClose() {
  std::lock_guard send_lock(send_mu_);
  if (sock_ == platform::kInvalidSocket) return;
  const Bytes frame = PositionReport({});
  platform::Send(sock_, frame.data(), static_cast<int>(frame.size() / 2));
  platform::Shutdown(sock_);  // the link thread sees the end of the stream and closes
  std::lock_guard lock(mu_);
  ++stats_.drops_injected;
  LogLocked("sent half a frame and closed the connection");
}

std::size_t SimBoard::SendRandomBytes(std::size_t count) {
  count = std::min(count, kMaxRandomBytes);
  if (count == 0) return 0;
  bool queued = false;
  {
    std::lock_guard lock(mu_);
    Bytes garbage(count);
    for (auto& b : garbage) b = static_cast<std::uint8_t>(rng_() >> 8);
    queued = PushLocked(std::move(garbage), Origin::kExplicit);
  }
  Flush();
  return queued ? count : 0;
}

void SimBoard::SetPositionReportOffset(int axis, std::int32_t delta) {
  if (axis < 0 || axis >= kAxes) return;
  std::lock_guard lock(mu_);
  report_offset_[static_cast<std::size_t>(axis)] = delta;
}

std::array<std::int32_t, kAxes> SimBoard::ReportedPositionLocked() const {
  std::array<std::int32_t, kAxes> steps = engine_.Position();
  for (std::size_t k = 0; k < steps.size(); ++k) {
    steps[k] = static_cast<std::int32_t>(static_cast<std::uint32_t>(steps[k]) + static_cast<std::uint32_t>(report_offset_[k]));
  }
  return steps;
}

void SimBoard::SetSilent(bool silent) {
  std::lock_guard lock(mu_);
  silent_ = silent;
  stats_.silent = silent;
}

void SimBoard::SetInput(int pin, bool active) {
  std::lock_guard lock(mu_);
  engine_.SetExternalInput(pin, active);  // reported by the clock thread at its next pass
}

void SimBoard::SetAxisPosition(int axis, std::int32_t steps) {
  std::lock_guard lock(mu_);
  engine_.SetPosition(axis, steps);
}

// ---- clock -----------------------------------------------------------------------------------

void SimBoard::ClockLoop() {
  std::uint32_t last = platform::TickMs();
  {
    std::lock_guard lock(mu_);
    last_report_ms_ = last;
  }
  while (running_) {
    platform::SleepMs(1);
    const std::uint32_t now = platform::TickMs();
    std::uint32_t elapsed_ms = now - last;  // unsigned: right across the tick's wrap
    last = now;
    {
      std::lock_guard lock(mu_);
      // The clock sleeps a millisecond at a time: a longer gap means this board was held up by
      // the computer running it, and the periods it now catches up on are late.
      const bool late = elapsed_ms > kLateClockMs;
      stats_.longest_clock_gap_ms = std::max(stats_.longest_clock_gap_ms, elapsed_ms);
      if (elapsed_ms > kMaxCatchUpMs) {
        stats_.late_ms_skipped += elapsed_ms - kMaxCatchUpMs;
        elapsed_ms = kMaxCatchUpMs;
      }
      if (config_.resume_queue && !connected_) {
        period_acc_us_ = 0;  // held while the host is away, not caught up when it is back
      } else {
        period_acc_us_ +=
            static_cast<std::uint64_t>(elapsed_ms) * 10 * (config_.clock_percent == 0 ? 100 : config_.clock_percent);
      }
      while (period_acc_us_ >= period_us_) {
        period_acc_us_ -= period_us_;
        engine_.RunPeriod(late);
        ++stats_.periods_run;
      }
      ReportChangesLocked();
      const std::uint32_t report_ms = config_.report_period_ms == 0 ? 1 : config_.report_period_ms;
      if (now - last_report_ms_ >= report_ms) {
        last_report_ms_ = now;
        if (connected_ && !in_loader_ && PeriodicReportsLocked()) {
          // Executed first: the plug-in judges "at rest" from the position with the count it has.
          if (PushPeriodicLocked(ExecutedReport(engine_.Counters().segments_executed), now)) {
            ++stats_.executed_reports;
          }
          if (PushPeriodicLocked(PositionReport(ReportedPositionLocked()), now)) ++stats_.position_reports;
        }
      }
      while (!delayed_.empty() && static_cast<std::int32_t>(now - delayed_.front().first) >= 0) {
        PushLocked(std::move(delayed_.front().second), Origin::kPeriodic);
        delayed_.pop_front();
      }
    }
    Flush();
  }
}

// ---- stats -----------------------------------------------------------------------------------

Stats SimBoard::Snapshot() const {
  std::lock_guard lock(mu_);
  Stats s = stats_;
  s.connected = connected_;
  s.motion = engine_.Counters();
  s.position_steps = engine_.Position();
  s.mode = engine_.Mode();
  s.estopped = engine_.Disabled();
  s.inputs = engine_.Inputs();
  s.watch_mask = engine_.WatchMask();
  s.pulse_rate_hz = pulse_rate_hz_;
  s.segment_period_us = period_us_;
  s.in_loader = in_loader_;
  s.firmware = firmware_;
  s.silent = silent_;
  return s;
}

bool SimBoard::WaitFor(const std::function<bool(const Stats&)>& done, int timeout_ms) const {
  const std::uint32_t start = platform::TickMs();
  for (;;) {
    if (done(Snapshot())) return true;
    if (static_cast<std::int32_t>(platform::TickMs() - start) >= timeout_ms) return false;
    platform::SleepMs(2);
  }
}

// ---- logging ---------------------------------------------------------------------------------

void SimBoard::FaultLocked(const std::string& text) {
  stats_.last_fault = text;
  LogLocked(text);
}

void SimBoard::LogLocked(std::string_view text) const {
  std::string line = "kvboard: ";
  line += text;
  if (config_.log) {
    config_.log(line);
  } else {
    line += '\n';
    std::fputs(line.c_str(), stderr);
  }
}

}  // namespace kvboard
