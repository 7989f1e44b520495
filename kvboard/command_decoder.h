// Walking a frame from the plug-in into its records: the board's side of the wire protocol.
// A frame body is a run of records, each opening with a code; most codes have a fixed size,
// parameter records take their width from the parameter id. A record that cannot be sized
// (an unknown code, id or element kind) ends the walk, because nothing after it can be found;
// a record that runs past the end of the body is reported as truncated and not applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kvboard {

enum class RecordKind : std::uint8_t {
  kParam,          // 0xC9 id value
  kPolarity,       // 0xDE sub-code value, inside a parameter frame
  kStatusPoll,     // 0xDE 0xFF
  kKeepAlive,      // 0xDC
  kSegments,       // 0xCA 0xAB count, 12-byte elements
  kPendant,        // 0xCA 0xAC count, channel and pendant bytes
  kVelocityMove,   // 0xCB axis dir speed
  kVelocityStop,   // 0xCC axis
  kEStop,          // 0xCD
  kEnable,         // 0xCE
  kStreamClose,    // 0xD0
  kProbeMove,      // 0xD1 axis distance speed
  kIdentRequest,   // 0xDD
  kPluginStop,     // 0xDF
  kConfigFile,     // 0xE0 and the rest of the frame
  kReload,         // 0xFA
};

// One decoded record. `value` views the decoding buffer and is valid only while it is.
struct Record {
  RecordKind kind{};
  std::uint8_t code = 0;  // the record code
  std::uint8_t id = 0;    // parameter id, polarity sub-code, array kind
  std::span<const std::uint8_t> value;  // the bytes after code (and id): see each kind
};

enum class DecodeFault : std::uint8_t {
  kUnknownCode,
  kUnknownParam,
  kUnknownPolarity,
  kUnknownArrayKind,
  kTruncated,
};

struct DecodeError {
  DecodeFault fault{};
  std::size_t offset = 0;  // where the failing record starts in the body
  std::uint8_t code = 0;
  std::uint8_t id = 0;
  std::string Describe() const;
};

struct DecodedFrame {
  std::vector<Record> records;       // every record before the error, in order
  std::optional<DecodeError> error;  // what ended the walk early, if anything
};

// Width of a parameter value by id (0xC9 records); empty for an id the board does not know.
std::optional<std::size_t> ParamWidth(std::uint8_t id);
// Width of a polarity value by sub-code (0xDE records other than 0xFF).
std::optional<std::size_t> PolarityWidth(std::uint8_t sub_code);

DecodedFrame DecodeFrame(std::span<const std::uint8_t> body);

// Bytes as "01 DD FF", for log lines; at most `max_bytes` shown, then "...".
std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t max_bytes = 48);

}  // namespace kvboard
