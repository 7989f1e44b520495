// What the simulated board has seen and done, as one copyable snapshot (SimBoard::Snapshot).
// Tests assert on it and the command line prints it; every count starts at 0 when the board
// is built. Tick times are platform::TickMs() values.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board_config.h"
#include "motion_engine.h"

namespace kvboard {

// The last value received for one parameter id (or polarity sub-code), byte for byte.
struct ParamRecord {
  std::vector<std::uint8_t> value;
  std::uint32_t count = 0;
  std::uint32_t last_ms = 0;
};

inline constexpr std::size_t kTickHistory = 256;  // tick lists keep the latest entries only
inline constexpr std::size_t kGapBuckets = 201;   // gap histograms: 0..199 ms, then 200 ms or more
inline constexpr std::size_t kFirstCodesKept = 64;

struct Stats {
  // Link.
  bool connected = false;
  std::uint32_t connections = 0;
  std::uint32_t disconnects = 0;
  std::uint32_t drops_injected = 0;
  std::uint32_t hellos = 0;          // discovery datagrams "hello\0"
  std::uint32_t bad_datagrams = 0;   // anything else on the discovery port
  std::uint32_t refused_peers = 0;   // datagrams from outside loopback, not answered
  std::uint32_t connect_failures = 0;
  std::uint32_t peer_address = 0;    // the address connected to last (host order)
  std::uint16_t peer_port = 0;

  // Received.
  std::uint64_t bytes_received = 0;
  std::uint32_t frames_received = 0;
  std::uint32_t long_frames = 0;  // 201..255 bytes: beyond what the plug-in accepts, fine towards the board
  std::array<std::uint32_t, 256> frames_by_code{};   // by the frame's first byte (its command)
  std::array<std::uint32_t, 256> records_by_code{};  // every decoded record, by its code
  std::uint32_t ident_requests = 0;
  std::vector<std::uint32_t> ident_request_ms;
  std::uint32_t status_polls = 0;
  std::vector<std::uint32_t> status_poll_ms;
  std::uint32_t keep_alives = 0;
  // The command codes of the first frames received on the present connection, in order.
  std::vector<std::uint8_t> first_codes_this_connection;
  std::uint32_t param_records = 0;                   // 0xC9 and polarity records together
  std::uint32_t param_ids_this_connection = 0;       // distinct 0xC9 ids since the link opened
  std::map<std::uint8_t, ParamRecord> params;        // 0xC9, by id
  std::map<std::uint8_t, ParamRecord> polarities;    // 0xDE in parameter frames, by sub-code
  std::uint32_t segment_frames = 0;
  // Gaps between segment frames that continue a motion (segments still queued at arrival), by
  // milliseconds. The plug-in sends at most one segment frame per supervisor run, so while it
  // streams steadily these are the periods of its supervisor as seen on the wire.
  std::array<std::uint32_t, kGapBuckets> segment_frame_gap_ms{};
  std::uint32_t last_segment_frame_ms = 0;
  std::uint32_t velocity_moves = 0;
  std::uint32_t velocity_stops = 0;
  std::uint32_t probe_commands = 0;
  std::uint32_t estops = 0;
  std::int64_t last_estop_us = 0;  // when the last 0xCD was decoded, steady clock microseconds (latency figures)
  std::uint32_t enables = 0;
  std::uint32_t plugin_stops = 0;       // 0xDF
  std::uint32_t last_plugin_stop_ms = 0;
  std::uint32_t reload_requests = 0;    // 0xFA
  std::uint32_t config_file_frames = 0;  // 0xE0
  std::vector<std::uint8_t> config_file;  // the last one's bytes
  std::array<std::uint32_t, 2> pendant_frames{};
  std::array<std::vector<std::uint8_t>, 2> pendant_last{};  // pendant bytes of the last frame
  std::uint32_t invalid_commands = 0;   // decodable but not executable (axis out of range, ...)

  // Faults in what was received; each is also logged.
  // A frame cannot say it is longer than 255 bytes: a sender that overran the length byte shows
  // up here as records that do not decode.
  std::uint32_t malformed = 0;  // records that could not be decoded (the rest of the frame is lost)
  std::string last_fault;

  // Firmware loader (raw messages, while in the loader).
  std::uint32_t loader_begins = 0;
  std::uint32_t loader_blocks = 0;
  std::uint32_t loader_ends = 0;
  std::uint32_t loader_image_bytes = 0;  // highest block end address
  std::uint64_t loader_image_hash = 0;   // FNV-1a of the block bytes in arrival order
  std::uint32_t loader_bad_blocks = 0;   // before a begin, out of order or beyond the flash
  std::uint32_t loader_reloads = 0;      // 0xFA restarts into the loader
  std::uint32_t upgrades = 0;            // images written and restarted into
  std::uint16_t firmware = 0;            // the version the board runs (answers with) now

  // Motion and machine.
  MotionCounters motion;
  std::array<std::int32_t, kAxes> position_steps{};
  std::uint8_t mode = 0;
  bool estopped = false;
  std::uint64_t inputs = 0;
  std::uint64_t watch_mask = 0;
  std::uint32_t pulse_rate_hz = 0;
  std::uint32_t segment_period_us = 0;
  std::uint64_t periods_run = 0;
  std::uint64_t late_ms_skipped = 0;  // clock stalls longer than the catch-up bound
  std::uint32_t longest_clock_gap_ms = 0;  // between two turns of the clock, which sleeps 1 ms
  bool in_loader = false;
  bool silent = false;

  // Sent.
  std::uint32_t frames_sent = 0;
  std::uint64_t bytes_sent = 0;
  std::uint32_t send_failures = 0;
  std::uint32_t outbox_overflows = 0;
  std::uint32_t position_reports = 0;
  std::uint32_t executed_reports = 0;
  std::uint32_t input_reports = 0;
  std::uint32_t stop_reports = 0;
  std::vector<std::uint8_t> modes_reported;  // every mode report in order (latest kTickHistory)
};

}  // namespace kvboard
