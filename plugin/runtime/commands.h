// Command codes of the board's wire protocol: the first byte of every record.
#pragma once

#include <cstdint>

namespace kv::wire {

// To the board.
inline constexpr std::uint8_t LOADER_BEGIN = 0xC3;    // unframed
inline constexpr std::uint8_t LOADER_BLOCK = 0xC5;    // unframed: 24-bit address (MSB first) + 48 bytes
inline constexpr std::uint8_t LOADER_END = 0xC6;      // unframed
inline constexpr std::uint8_t PARAM_TAG = 0xC9;       // parameter id + value
inline constexpr std::uint8_t ARRAY_FRAME = 0xCA;     // element kind, count, elements
inline constexpr std::uint8_t VELOCITY_MOVE = 0xCB;   // axis u8, direction u8, speed s32
inline constexpr std::uint8_t VELOCITY_STOP = 0xCC;   // axis u8
inline constexpr std::uint8_t BOARD_ESTOP = 0xCD;
inline constexpr std::uint8_t BOARD_ENABLE = 0xCE;
inline constexpr std::uint8_t STREAM_CLOSE = 0xD0;
inline constexpr std::uint8_t PROBE_MOVE = 0xD1;      // axis u8, distance s32, speed s32
inline constexpr std::uint8_t KEEP_ALIVE = 0xDC;
inline constexpr std::uint8_t IDENT_REQUEST = 0xDD;
inline constexpr std::uint8_t STATUS_POLL = 0xDE;     // payload 0xFF; polarity records in parameter frames
inline constexpr std::uint8_t PLUGIN_STOP = 0xDF;
inline constexpr std::uint8_t CONFIG_FILE = 0xE0;     // up to 254 bytes of a configuration file
inline constexpr std::uint8_t RELOAD_REQUEST = 0xFA;

// From the board.
inline constexpr std::uint8_t BOARD_REPORT = 0xCF;    // sub-code and its data
inline constexpr std::uint8_t IDENT_REPLY = 0xDD;     // status, then the identity
inline constexpr std::uint8_t STATUS_REPLY = 0xDE;    // sub-records up to 0xFF
inline constexpr std::uint8_t DIAG_WORDS = 0xFB;      // 20 bytes, skipped

// Element kinds of the array frame.
inline constexpr std::uint8_t ARRAY_SEGMENTS = 0xAB;  // 12-byte motion segments
inline constexpr std::uint8_t ARRAY_BYTES = 0xAC;     // 1-byte pendant data

inline constexpr int kMaxFrameBody = 255;     // bytes after the length byte
inline constexpr int kMaxReceivedBody = 200;  // what the receiving side accepts

}  // namespace kv::wire
