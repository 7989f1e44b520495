// The plug-in's settings in the profile section "VEX": segment period, pendant type, backlash
// and queue window, and their push into the host's planner.
#pragma once

namespace kv {

class ProfileStore;

inline constexpr const char* kSettingsSection = "VEX";
inline constexpr int kDefaultSegLenUs = 3000;
inline constexpr int kDefaultLimBuffer = 450;

// lim_buffer = 450, then "seg_len", "mpg_src", "backlash_pos0".."backlash_pos5".
void LoadSettings(ProfileStore& store);
// "lim_buffer", "seg_len", "mpg_src", then the backlash the board reported (or, when the board
// reported none during this run, the loaded values, so a run without a board keeps them).
void SaveSettings(ProfileStore& store);
// Planner queue_limit, segment_time and settings_applied, once the planner block is known.
void SettingsPush();

}  // namespace kv
