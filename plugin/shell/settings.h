// The plug-in's settings in the profile section "VEX": segment period, pendant type, backlash
// and queue window, and their push into the host's planner.
#pragma once

#include <cstdint>
#include <limits>

namespace kv {

class ProfileStore;

inline constexpr const char* kSettingsSection = "VEX";
inline constexpr int kDefaultSegLenUs = 3000;
inline constexpr int kDefaultLimBuffer = 450;
// The segment periods the motion stream can keep fed: it sends at most 20 segments per run of
// the motion supervisor, which comes about every 30 ms on a busy machine, so a shorter period
// drains the board's queue faster than it is filled (an underrun, a stop mid-cut, every few
// runs). Above 100 ms the board's 16-bit pulse figure overflows on a 330 kHz board and one
// queue window holds 45 s of motion. A "seg_len" outside is not used: the default stays.
inline constexpr int kMinSegLenUs = 1500;
inline constexpr int kMaxSegLenUs = 100000;
constexpr bool SegLenUsable(std::int32_t us) { return us >= kMinSegLenUs && us <= kMaxSegLenUs; }

// Whether a backlash (steps) is one the board can have meant. Parameter 41 takes the value
// back to the board as a signed 32-bit step count, which by its width alone would take a
// garbled report too (2 000 000 000 steps of compensation). The unit is the step, and the
// board's motion arrives as signed 16-bit step counts per segment; a backlash beyond that range
// is slack no drive has, so it is a damaged report: neither stored as reported, nor saved,
// nor loaded.
inline constexpr std::int32_t kBacklashMinSteps = std::numeric_limits<std::int16_t>::min();
inline constexpr std::int32_t kBacklashMaxSteps = std::numeric_limits<std::int16_t>::max();
constexpr bool BacklashFits(std::int32_t steps) { return steps >= kBacklashMinSteps && steps <= kBacklashMaxSteps; }

// lim_buffer = 450, then "seg_len", "mpg_src", "backlash_pos0".."backlash_pos5".
void LoadSettings(ProfileStore& store);
// "lim_buffer", "seg_len", "mpg_src", then the backlash the board reported (or, when the board
// reported none during this run, the loaded values, so a run without a board keeps them).
// A stored or reported backlash that does not fit (BacklashFits) is never written: the axis
// keeps its loaded value.
void SaveSettings(ProfileStore& store);
// Planner queue_limit, segment_time and settings_applied, once the planner block is known.
void SettingsPush();

}  // namespace kv
