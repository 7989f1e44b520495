// Reading kvhost's machine from the profile document.
#include "machine_config.h"

#include <charconv>
#include <cmath>

#include "platform/xml_document.h"

namespace kvhost {
namespace {

constexpr const char* kSection = "kvhost";
constexpr const char* kAxisLetters[6] = {"x", "y", "z", "a", "b", "c"};

bool ReadNumber(const platform::XmlElement& section, const std::string& key, double& value, std::string& error) {
  platform::XmlElement entry = section.FirstChild(key);
  if (!entry) return true;
  std::string text = entry.Text();
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  std::size_t end = text.find_last_not_of(" \t\r\n");
  if (begin == std::string::npos) return true;  // empty: the default
  double parsed = 0;
  auto [at, ec] = std::from_chars(text.data() + begin, text.data() + end + 1, parsed);
  if (ec != std::errc() || at != text.data() + end + 1 || !std::isfinite(parsed)) {
    error = "profile section kvhost: " + key + " is not a number: \"" + text + "\"";
    return false;
  }
  value = parsed;
  return true;
}

bool ReadPin(const platform::XmlElement& section, const std::string& key, std::uint8_t& pin, std::string& error) {
  double value = pin;
  if (!ReadNumber(section, key, value, error)) return false;
  if (value < 0 || value > 63 || value != std::floor(value)) {
    error = "profile section kvhost: " + key + " must be a board pin 0..63 (0 = not wired)";
    return false;
  }
  pin = static_cast<std::uint8_t>(value);
  return true;
}

}  // namespace

MachineConfig DefaultMachineConfig() {
  MachineConfig config;
  for (int k = 0; k < 3; ++k) config.axes[k].enabled = true;
  return config;
}

bool LoadMachineConfig(const std::string& path, MachineConfig& out, std::string& error) {
  out = DefaultMachineConfig();
  platform::XmlDocument doc;
  if (!doc.Load(path)) return true;  // no profile yet: the defaults
  platform::XmlElement section = doc.Root().FirstChild(kSection);
  if (!section) return true;
  for (int k = 0; k < 6; ++k) {
    std::string axis = kAxisLetters[k];
    double enabled = out.axes[k].enabled ? 1 : 0;
    if (!ReadNumber(section, "steps_per_unit_" + axis, out.motion.steps_per_unit[k], error) ||
        !ReadNumber(section, "max_velocity_" + axis, out.motion.max_velocity_per_s[k], error) ||
        !ReadNumber(section, "acceleration_" + axis, out.motion.acceleration_per_s2[k], error) ||
        !ReadNumber(section, "enabled_" + axis, enabled, error) ||
        !ReadPin(section, "limit_min_pin_" + axis, out.axes[k].limit_min_pin, error) ||
        !ReadPin(section, "limit_max_pin_" + axis, out.axes[k].limit_max_pin, error) ||
        !ReadPin(section, "home_pin_" + axis, out.axes[k].home_pin, error)) {
      return false;
    }
    out.axes[k].enabled = enabled != 0;
  }
  double percent = out.home_speed_percent;
  if (!ReadPin(section, "probe_pin", out.probe_pin, error) || !ReadPin(section, "estop_pin", out.estop_pin, error) ||
      !ReadPin(section, "spindle_output_pin", out.spindle_output_pin, error) ||
      !ReadNumber(section, "probe_feed", out.probe_feed_per_s, error) ||
      !ReadNumber(section, "home_speed_percent", percent, error)) {
    return false;
  }
  out.home_speed_percent = static_cast<int>(percent);
  return true;
}

}  // namespace kvhost
