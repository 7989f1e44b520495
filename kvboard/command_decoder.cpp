// Walking the plug-in's frames into records, with the widths of every parameter the board knows.
#include "command_decoder.h"

#include <array>

#include "runtime/commands.h"

namespace kvboard {
namespace {

namespace wire = kv::wire;

// Parameter widths by id; 0 = unknown. The table is the board's whole knowledge of 0xC9 records.
constexpr std::array<std::uint8_t, 256> kParamWidths = [] {
  std::array<std::uint8_t, 256> w{};
  for (int id : {34, 21, 22, 35, 45, 49, 50}) w[id] = 4;
  for (int id : {23, 24, 38}) w[id] = 8;
  for (int id : {37, 39, 48}) w[id] = 1;
  for (int id : {26, 27, 40, 41, 43, 46}) w[id] = 24;
  w[33] = 6;
  w[44] = 48;
  w[47] = 12;
  w[51] = 2;
  return w;
}();

constexpr std::size_t kSegmentBytes = 12;

// Fixed payload size of the simple commands, or empty for codes that are not simple.
std::optional<std::pair<RecordKind, std::size_t>> SimpleCommand(std::uint8_t code) {
  switch (code) {
    case wire::KEEP_ALIVE: return std::pair{RecordKind::kKeepAlive, std::size_t{0}};
    case wire::VELOCITY_MOVE: return std::pair{RecordKind::kVelocityMove, std::size_t{6}};
    case wire::VELOCITY_STOP: return std::pair{RecordKind::kVelocityStop, std::size_t{1}};
    case wire::BOARD_ESTOP: return std::pair{RecordKind::kEStop, std::size_t{0}};
    case wire::BOARD_ENABLE: return std::pair{RecordKind::kEnable, std::size_t{0}};
    case wire::STREAM_CLOSE: return std::pair{RecordKind::kStreamClose, std::size_t{0}};
    case wire::PROBE_MOVE: return std::pair{RecordKind::kProbeMove, std::size_t{9}};
    case wire::IDENT_REQUEST: return std::pair{RecordKind::kIdentRequest, std::size_t{0}};
    case wire::PLUGIN_STOP: return std::pair{RecordKind::kPluginStop, std::size_t{0}};
    case wire::RELOAD_REQUEST: return std::pair{RecordKind::kReload, std::size_t{0}};
    default: return std::nullopt;
  }
}

const char* FaultName(DecodeFault f) {
  switch (f) {
    case DecodeFault::kUnknownCode: return "unknown record code";
    case DecodeFault::kUnknownParam: return "unknown parameter id";
    case DecodeFault::kUnknownPolarity: return "unknown polarity sub-code";
    case DecodeFault::kUnknownArrayKind: return "unknown array element kind";
    case DecodeFault::kTruncated: return "record runs past the end of the frame";
  }
  return "?";
}

}  // namespace

std::optional<std::size_t> ParamWidth(std::uint8_t id) {
  if (kParamWidths[id] == 0) return std::nullopt;
  return kParamWidths[id];
}

std::optional<std::size_t> PolarityWidth(std::uint8_t sub_code) {
  switch (sub_code) {
    case 5: return 8;
    case 69: return 4;
    case 101: return 4;
    default: return std::nullopt;
  }
}

std::string DecodeError::Describe() const {
  std::string text = FaultName(fault);
  text += " (code " + HexBytes(std::span<const std::uint8_t>(&code, 1));
  if (fault != DecodeFault::kUnknownCode) text += ", id " + std::to_string(id);
  text += ") at offset " + std::to_string(offset);
  return text;
}

DecodedFrame DecodeFrame(std::span<const std::uint8_t> body) {
  DecodedFrame out;
  std::size_t at = 0;
  auto fail = [&](DecodeFault fault, std::size_t start, std::uint8_t code, std::uint8_t id) {
    out.error = DecodeError{fault, start, code, id};
  };
  while (at < body.size()) {
    const std::size_t start = at;
    const std::uint8_t code = body[at++];
    const std::size_t left = body.size() - at;
    // Takes `size` bytes after `skip` header bytes as the value, or reports a truncation.
    auto take = [&](RecordKind kind, std::uint8_t id, std::size_t skip, std::size_t size) {
      if (skip + size > left) {
        fail(DecodeFault::kTruncated, start, code, id);
        return false;
      }
      out.records.push_back(Record{kind, code, id, body.subspan(at + skip, size)});
      at += skip + size;
      return true;
    };

    if (auto simple = SimpleCommand(code)) {
      if (!take(simple->first, 0, 0, simple->second)) break;
      continue;
    }
    if (code == wire::PARAM_TAG || code == wire::STATUS_POLL) {
      if (left < 1) {
        fail(DecodeFault::kTruncated, start, code, 0);
        break;
      }
      const std::uint8_t id = body[at];
      if (code == wire::STATUS_POLL && id == 0xFF) {
        if (!take(RecordKind::kStatusPoll, id, 1, 0)) break;
        continue;
      }
      auto width = code == wire::PARAM_TAG ? ParamWidth(id) : PolarityWidth(id);
      if (!width) {
        fail(code == wire::PARAM_TAG ? DecodeFault::kUnknownParam : DecodeFault::kUnknownPolarity, start, code, id);
        break;
      }
      if (!take(code == wire::PARAM_TAG ? RecordKind::kParam : RecordKind::kPolarity, id, 1, *width)) break;
      continue;
    }
    if (code == wire::ARRAY_FRAME) {
      if (left < 2) {
        fail(DecodeFault::kTruncated, start, code, left ? body[at] : std::uint8_t{0});
        break;
      }
      const std::uint8_t kind = body[at];
      const std::size_t count = body[at + 1];
      if (kind == wire::ARRAY_SEGMENTS) {
        if (!take(RecordKind::kSegments, kind, 2, count * kSegmentBytes)) break;
      } else if (kind == wire::ARRAY_BYTES) {
        if (!take(RecordKind::kPendant, kind, 2, count)) break;
      } else {
        fail(DecodeFault::kUnknownArrayKind, start, code, kind);
        break;
      }
      continue;
    }
    if (code == wire::CONFIG_FILE) {
      take(RecordKind::kConfigFile, 0, 0, left);  // the file is the rest of the frame
      continue;
    }
    fail(DecodeFault::kUnknownCode, start, code, 0);
    break;
  }
  return out;
}

std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t max_bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  const std::size_t shown = bytes.size() < max_bytes ? bytes.size() : max_bytes;
  text.reserve(shown * 3 + 4);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  if (shown < bytes.size()) text += " ...";
  return text;
}

}  // namespace kvboard
