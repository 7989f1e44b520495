// Reading kvhost's machine from the profile document, and refusing values that would not plan.
#include "machine_config.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>  // status: a missing profile is told from a malformed one
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "interpreter.h"  // kMaxCoordinate_units
#include "platform/file.h"
#include "platform/xml_document.h"
#include "profile/profile_section.h"
#include "shell/settings.h"

namespace kvhost {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSection = "kvhost";
constexpr const char* kAxisLetters[6] = {"x", "y", "z", "a", "b", "c"};
constexpr int kMaxPin = 63;
constexpr int kMaxOutputPin = 29;  // the plug-in drives board outputs 1..29

std::string WorkOffsetKey(std::size_t system, std::size_t axis) {
  return "work_offset_g" + std::to_string(54 + system) + "_" + kAxisLetters[axis];
}
std::string G92Key(std::size_t axis) { return std::string("g92_offset_") + kAxisLetters[axis]; }

std::string Number(double value) {
  std::ostringstream out;
  out.precision(10);
  out << value;
  return out.str();
}

// The profile's "kvhost" section, with the prefix every message carries.
struct Section {
  platform::XmlElement element;
  std::string where;  // "profile PATH: "

  std::string Key(const std::string& key) const { return where + kSection + "/" + key; }

  // A missing or empty entry keeps `value`.
  bool Read(const std::string& key, double& value, std::string& error) const {
    platform::XmlElement entry = element ? element.FirstChild(key) : platform::XmlElement();
    if (!entry) return true;
    const std::string text = entry.Text();
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return true;
    const std::size_t end = text.find_last_not_of(" \t\r\n") + 1;
    double parsed = 0;
    auto [at, ec] = std::from_chars(text.data() + begin, text.data() + end, parsed);
    if (ec != std::errc() || at != text.data() + end || !std::isfinite(parsed)) {
      error = Key(key) + " is not a finite number: \"" + text + "\"";
      return false;
    }
    value = parsed;
    return true;
  }

  // A whole number in [low, high]; only then converted, so the conversion is always defined.
  bool ReadWhole(const std::string& key, double low, double high, const std::string& meaning, int& value,
                 std::string& error) const {
    double number = value;
    if (!Read(key, number, error)) return false;
    if (!(number >= low && number <= high) || number != std::floor(number)) {
      error = Key(key) + " must be " + meaning + " (got " + Number(number) + ")";
      return false;
    }
    value = static_cast<int>(number);
    return true;
  }

  bool ReadOutputPin(const std::string& key, std::uint8_t& pin, std::string& error) const {
    int value = pin;
    if (!ReadWhole(key, 0, kMaxOutputPin, "a board output pin 1..29 (0 = not wired)", value, error)) return false;
    pin = static_cast<std::uint8_t>(value);
    return true;
  }

  // A coordinate or offset: a finite number no larger than a coordinate may be.
  bool ReadCoordinate(const std::string& key, double& value, std::string& error) const {
    if (!Read(key, value, error)) return false;
    if (!(std::fabs(value) <= kvgcode::kMaxCoordinate_units)) {
      error = Key(key) + " must lie within +-" + Number(kvgcode::kMaxCoordinate_units) + " (got " + Number(value) + ")";
      return false;
    }
    return true;
  }

  bool ReadPin(const std::string& key, std::uint8_t& pin, std::string& error) const {
    int value = pin;
    if (!ReadWhole(key, 0, kMaxPin, "a board pin 0..63 (0 = not wired)", value, error)) return false;
    pin = static_cast<std::uint8_t>(value);
    return true;
  }
};

// The plug-in's reading of an integer entry: leading blanks and a sign, then digits up to the
// first other character (none gives 0), saturated to 32 bits.
std::int32_t PluginDecimal(const std::string& text) {
  std::size_t i = text.find_first_not_of(" \t\n\r\v\f");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

// "VEX"/"seg_len" as the plug-in reads it (leading digits); empty when missing or empty, which
// the plug-in takes as its default.
std::optional<std::int32_t> SegLenEntry(const platform::XmlDocument& doc) {
  platform::XmlElement entry = doc.Root().FirstChild("VEX").FirstChild("seg_len");
  if (!entry || entry.Text().empty()) return std::nullopt;
  return PluginDecimal(entry.Text());
}

std::string SegmentText(double segment_time_s) { return Number(segment_time_s * 1000.0) + " ms segment"; }

// Every value must plan: steps that exist, speeds and accelerations that are positive, and no
// per-segment figure beyond what the board's 16-bit step counts (and the plug-in's 16.16 fixed
// point speeds and accelerations) can hold at the plug-in's segment period.
bool Check(const Section& s, const MachineConfig& c, std::string& error) {
  const double t = c.segment_time_s;
  for (int k = 0; k < 6; ++k) {
    const std::string axis = kAxisLetters[k];
    const std::string spu_key = "steps_per_unit_" + axis;
    const double spu = c.motion.steps_per_unit[k];
    const double velocity = c.motion.max_velocity_per_s[k];
    const double acceleration = c.motion.acceleration_per_s2[k];
    if (c.axes[k].enabled && !(spu >= kMinStepsPerUnit)) {
      error = s.Key(spu_key) + " must be at least 1 step per unit (got " + Number(spu) + ")";
      return false;
    }
    if (!(spu > 0)) {
      error = s.Key(spu_key) + " must be above 0 (got " + Number(spu) + ")";
      return false;
    }
    if (spu > kvgcode::kMaxStepsPerUnit) {
      error = s.Key(spu_key) + " must be at most " + Number(kvgcode::kMaxStepsPerUnit) + " (got " + Number(spu) + ")";
      return false;
    }
    if (!(velocity > 0)) {
      error = s.Key("max_velocity_" + axis) + " must be above 0 units/s (got " + Number(velocity) + ")";
      return false;
    }
    if (!(acceleration > 0)) {
      error = s.Key("acceleration_" + axis) + " must be above 0 units/s^2 (got " + Number(acceleration) + ")";
      return false;
    }
    const double worst = kvgcode::WorstSegmentSteps(spu, velocity, t);
    if (!(worst <= kvgcode::kMaxSegmentSteps)) {
      error = s.Key("max_velocity_" + axis) + " " + Number(velocity) + " units/s at " + kSection + "/" + spu_key + " " +
              Number(spu) + " needs up to " + Number(worst) + " steps in one " + SegmentText(t) +
              "; a segment holds at most " + std::to_string(kvgcode::kMaxSegmentSteps);
      return false;
    }
    const double speed_change = acceleration * spu * t * t;  // steps per segment, per segment
    if (!(speed_change <= kvgcode::kMaxSegmentSteps)) {
      error = s.Key("acceleration_" + axis) + " " + Number(acceleration) + " units/s^2 at " + kSection + "/" +
              spu_key + " " + Number(spu) + " changes the speed by " + Number(speed_change) +
              " steps per segment from one " + SegmentText(t) + " to the next; at most " +
              std::to_string(kvgcode::kMaxSegmentSteps);
      return false;
    }
  }
  const double deviation = c.motion.junction_deviation_mm;
  if (!(deviation >= 0 && deviation <= kvgcode::kMaxJunctionDeviation_mm)) {
    error = s.Key("junction_deviation") + " must be from 0 to " + Number(kvgcode::kMaxJunctionDeviation_mm) +
            " mm (got " + Number(deviation) + ")";
    return false;
  }
  if (!(c.probe_feed_per_s > 0)) {
    error = s.Key("probe_feed") + " must be above 0 units/s (got " + Number(c.probe_feed_per_s) + ")";
    return false;
  }
  for (int k = 0; k < 6; ++k) {  // the probe may move any enabled axis
    if (!c.axes[k].enabled) continue;
    // The board takes the probe speed in steps per segment with 16 fractional bits: below one
    // 65536th of a step it is 0, a probe move that never moves.
    const double probe_steps = c.probe_feed_per_s * c.motion.steps_per_unit[k] * t;
    if (!(probe_steps * 65536.0 >= 1.0)) {
      error = s.Key("probe_feed") + " " + Number(c.probe_feed_per_s) + " units/s at " + kSection + "/steps_per_unit_" +
              kAxisLetters[k] + " " + Number(c.motion.steps_per_unit[k]) + " is " + Number(probe_steps) +
              " steps in one " + SegmentText(t) + ", below the 1/65536 step the board can be sent: the probe would "
              "not move";
      return false;
    }
    const double worst = kvgcode::WorstSegmentSteps(c.motion.steps_per_unit[k], c.probe_feed_per_s, t);
    if (!(worst <= kvgcode::kMaxSegmentSteps)) {
      error = s.Key("probe_feed") + " " + Number(c.probe_feed_per_s) + " units/s at " + kSection +
              "/steps_per_unit_" + kAxisLetters[k] + " " + Number(c.motion.steps_per_unit[k]) + " needs up to " +
              Number(worst) + " steps in one " + SegmentText(t) + "; a segment holds at most " +
              std::to_string(kvgcode::kMaxSegmentSteps);
      return false;
    }
  }
  // Two functions on one output would switch each other.
  const std::pair<const char*, std::uint8_t> outputs[] = {
      {"spindle_output_pin", c.spindle_output_pin}, {"mist_output_pin", c.mist_output_pin},
      {"flood_output_pin", c.flood_output_pin}};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = i + 1; j < 3; ++j) {
      if (outputs[i].second != 0 && outputs[i].second == outputs[j].second) {
        error = s.Key(outputs[j].first) + " " + std::to_string(outputs[j].second) + " is also " + kSection + "/" +
                outputs[i].first;
        return false;
      }
    }
  }
  // What the planner itself will insist on; the checks above already cover it.
  if (auto problem = kvgcode::CheckSettings(c.motion, t)) {
    error = s.where + *problem;
    return false;
  }
  return true;
}

// The work offsets, G92 offset, G28/G30 positions and the tool table.
bool ReadWorkSetup(const Section& s, kvgcode::WorkSetup& work, std::string& error) {
  for (std::size_t axis = 0; axis < 6; ++axis) {
    const std::string letter = kAxisLetters[axis];
    for (std::size_t system = 0; system < work.work_offsets.size(); ++system) {
      if (!s.ReadCoordinate(WorkOffsetKey(system, axis), work.work_offsets[system][axis], error)) return false;
    }
    if (!s.ReadCoordinate(G92Key(axis), work.g92_offset[axis], error) ||
        !s.ReadCoordinate("g28_position_" + letter, work.g28_position[axis], error) ||
        !s.ReadCoordinate("g30_position_" + letter, work.g30_position[axis], error)) {
      return false;
    }
  }
  if (!s.element) return true;
  for (int tool = 1; tool <= kMaxTableTool; ++tool) {
    const std::string key = "tool_length_" + std::to_string(tool);
    if (!s.element.FirstChild(key)) continue;
    double length = 0;
    if (!s.ReadCoordinate(key, length, error)) return false;
    work.tool_lengths[tool] = length;
  }
  return true;
}

// Shortest text that reads back as the same double.
std::string ExactNumber(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return Number(value);
  return std::string(text, end);
}

}  // namespace

bool SaveWorkOffsets(const std::string& path, const kvgcode::WorkSetup& loaded, const kvgcode::WorkSetup& now,
                     std::string& error) {
  std::vector<std::pair<std::string, double>> changed;
  for (std::size_t axis = 0; axis < 6; ++axis) {
    for (std::size_t system = 0; system < now.work_offsets.size(); ++system) {
      if (now.work_offsets[system][axis] != loaded.work_offsets[system][axis]) {
        changed.emplace_back(WorkOffsetKey(system, axis), now.work_offsets[system][axis]);
      }
    }
    if (now.g92_offset[axis] != loaded.g92_offset[axis]) changed.emplace_back(G92Key(axis), now.g92_offset[axis]);
  }
  if (changed.empty()) return true;
  const std::string where = "profile " + path + ": ";
  platform::XmlDocument doc;
  const platform::XmlLoad load = doc.LoadPreserving(path, error);
  if (load == platform::XmlLoad::kUnreadable) {
    error = where + "cannot be read (" + error + "); the work offsets were not saved";
    return false;
  }
  std::string before;
  if (load == platform::XmlLoad::kLoaded) {
    std::string read_error;
    if (platform::ReadWholeFile(path, before, read_error) != platform::FileRead::kRead) {
      error = where + "cannot be read (" + read_error + "); the work offsets were not saved";
      return false;
    }
  }
  if (!doc.Root()) doc.CreateRoot("profile");
  platform::XmlElement section = doc.Root().FirstChild(kSection);
  if (!section) section = doc.Root().AppendChild(kSection);
  for (const auto& [key, value] : changed) {
    platform::XmlElement entry = section.FirstChild(key);
    if (!entry) entry = section.AppendChild(key);
    entry.SetText(ExactNumber(value));
  }
  if (load == platform::XmlLoad::kLoaded && !kv::ChangesOnlySection(before, doc.Bytes(), kSection)) {
    error = where + "its content outside " + kSection + " could not be kept as it was; the work offsets were not saved";
    return false;
  }
  std::string save_error;
  if (!doc.Save(path, save_error)) {
    error = where + "the work offsets were not saved: " + save_error;
    return false;
  }
  return true;
}

MachineConfig DefaultMachineConfig() {
  MachineConfig config;
  for (int k = 0; k < 3; ++k) config.axes[k].enabled = true;
  return config;
}

bool LoadMachineConfig(const std::string& path, MachineConfig& out, std::string& error) {
  out = DefaultMachineConfig();
  Section s{{}, "profile " + path + ": "};
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return true;  // no profile yet: the defaults
  if (ec) {
    error = s.where + "cannot be read (" + ec.message() + ")";
    return false;
  }
  if (status.type() != fs::file_type::regular) {
    error = s.where + "is not a file";
    return false;
  }
  if (!std::ifstream(path, std::ios::binary)) {
    error = s.where + "cannot be read";
    return false;
  }
  platform::XmlDocument doc;
  if (!doc.Load(path)) {
    error = s.where + "cannot be parsed as an XML document; fix or remove it (kvhost will not run on defaults "
                      "in place of the settings it holds)";
    return false;
  }
  // A period the plug-in's stream cannot keep fed is refused here: the plug-in itself would fall
  // back to its default, and a run planned on another period than written is not the one asked.
  if (const std::optional<std::int32_t> us = SegLenEntry(doc)) {
    if (!kv::SegLenUsable(*us)) {
      error = s.where + "VEX/seg_len " + std::to_string(*us) + " us is outside " + std::to_string(kv::kMinSegLenUs) +
              ".." + std::to_string(kv::kMaxSegLenUs) +
              " us: the plug-in sends at most 20 segments per run of its motion supervisor (about every 30 ms), so "
              "a shorter period runs the board's queue dry";
      return false;
    }
    out.segment_time_s = *us * 1e-6;
  }
  s.element = doc.Root().FirstChild(kSection);
  for (int k = 0; k < 6; ++k) {
    const std::string axis = kAxisLetters[k];
    int enabled = out.axes[k].enabled ? 1 : 0;
    if (!s.Read("steps_per_unit_" + axis, out.motion.steps_per_unit[k], error) ||
        !s.Read("max_velocity_" + axis, out.motion.max_velocity_per_s[k], error) ||
        !s.Read("acceleration_" + axis, out.motion.acceleration_per_s2[k], error) ||
        !s.ReadWhole("enabled_" + axis, 0, 1, "0 or 1", enabled, error) ||
        !s.ReadPin("limit_min_pin_" + axis, out.axes[k].limit_min_pin, error) ||
        !s.ReadPin("limit_max_pin_" + axis, out.axes[k].limit_max_pin, error) ||
        !s.ReadPin("home_pin_" + axis, out.axes[k].home_pin, error)) {
      return false;
    }
    out.axes[k].enabled = enabled != 0;
  }
  if (!s.ReadPin("probe_pin", out.probe_pin, error) || !s.ReadPin("estop_pin", out.estop_pin, error) ||
      !s.ReadPin("spindle_output_pin", out.spindle_output_pin, error) ||
      !s.ReadOutputPin("mist_output_pin", out.mist_output_pin, error) ||
      !s.ReadOutputPin("flood_output_pin", out.flood_output_pin, error) || !ReadWorkSetup(s, out.motion.work, error) ||
      !s.Read("probe_feed", out.probe_feed_per_s, error) ||
      !s.Read("junction_deviation", out.motion.junction_deviation_mm, error) ||
      !s.ReadWhole("home_speed_percent", 1, 100, "a whole number of percent from 1 to 100", out.home_speed_percent,
                    error)) {
    return false;
  }
  return Check(s, out, error);
}

}  // namespace kvhost
