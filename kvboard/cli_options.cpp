// Parsing the kvboard program's command line.
#include "cli_options.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

namespace kvboard {
namespace {

bool ParseInt(std::string_view text, long long lo, long long hi, long long& value) {
  long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
  value = v;
  return true;
}

std::vector<std::string_view> SplitCommas(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t comma = text.find(',');
    parts.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return parts;
    text.remove_prefix(comma + 1);
  }
}

// "AXIS,PIN,STEPS[,above]" for the home switch and the probe (probe: "PIN,AXIS,...").
bool ParsePlace(std::string_view text, bool pin_first, int& axis, int& pin, std::int32_t& steps, bool& below) {
  auto parts = SplitCommas(text);
  if (parts.size() != 3 && parts.size() != 4) return false;
  long long a = 0, p = 0, s = 0;
  if (!ParseInt(parts[pin_first ? 1 : 0], 0, kAxes - 1, a) || !ParseInt(parts[pin_first ? 0 : 1], 1, 63, p) ||
      !ParseInt(parts[2], INT32_MIN, INT32_MAX, s)) {
    return false;
  }
  if (parts.size() == 4 && parts[3] != "above" && parts[3] != "below") return false;
  axis = static_cast<int>(a);
  pin = static_cast<int>(p);
  steps = static_cast<std::int32_t>(s);
  below = parts.size() == 3 || parts[3] == "below";
  return true;
}

// "Ns": seconds 0..1000000.
bool ParseSeconds(std::string_view when, double& secs) {
  if (when.size() < 2 || when.back() != 's') return false;
  when.remove_suffix(1);
  auto [end, ec] = std::from_chars(when.data(), when.data() + when.size(), secs);
  return ec == std::errc() && end == when.data() + when.size() && std::isfinite(secs) && secs >= 0 && secs <= 1e6;
}

// "CHANNEL,BYTE@Ns": a pendant key on a channel at a time into the run.
bool ParseTimedKey(std::string_view text, long long lowest_key, long long highest_key, CliPendantKey& key) {
  const std::size_t at = text.find('@');
  auto parts = SplitCommas(text.substr(0, at));
  long long channel = 0, byte = 0;
  double secs = 0;
  if (at == std::string_view::npos || parts.size() != 2 || !ParseInt(parts[0], 0, 1, channel) ||
      !ParseInt(parts[1], lowest_key, highest_key, byte) || !ParseSeconds(text.substr(at + 1), secs)) {
    return false;
  }
  key = CliPendantKey{static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(byte), secs};
  return true;
}

}  // namespace

bool ParseCli(int argc, const char* const* argv, CliOptions& out, std::string& error) {
  BoardConfig& b = out.board;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string_view v;
    auto value = [&] {
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return false;
      }
      v = argv[++i];
      return true;
    };
    auto bad = [&](const char* what) {
      error = std::string(arg) + " takes " + what + ", not " + std::string(v);
      return false;
    };
    long long n = 0;
    if (arg == "--help" || arg == "-h") {
      out.help = true;
    } else if (arg == "--connect") {
      b.connect_direct = true;
    } else if (arg == "--no-reconnect") {
      b.reconnect = false;
    } else if (arg == "--resume-queue") {
      b.resume_queue = true;
    } else if (arg == "--loader") {
      b.in_loader = true;
    } else if (arg == "--loader-drop") {
      if (!value()) return false;
      if (!ParseInt(v, 1, 1000000, n)) return bad("a block count 1..1000000");
      b.drop_after_loader_blocks = static_cast<std::uint32_t>(n);
    } else if (arg == "--verbose") {
      b.verbose = true;
    } else if (arg == "--discovery-port") {
      if (!value()) return false;
      if (!ParseInt(v, 0, 65535, n)) return bad("a port number 0..65535");
      b.discovery_port = static_cast<std::uint16_t>(n);
    } else if (arg == "--plugin-port") {
      if (!value()) return false;
      if (!ParseInt(v, 1, 65535, n)) return bad("a port number 1..65535");
      b.plugin_port = static_cast<std::uint16_t>(n);
    } else if (arg == "--serial") {
      if (!value()) return false;
      if (v.empty() || v.size() > 8) return bad("1 to 8 characters");
      b.serial = std::string(v);
    } else if (arg == "--model") {
      if (!value()) return false;
      if (!ParseInt(v, 0, 255, n)) return bad("a model code 0..255");
      b.model = static_cast<std::uint8_t>(n);
    } else if (arg == "--firmware") {
      if (!value()) return false;
      if (!ParseInt(v, 0, 65535, n)) return bad("a version 0..65535");
      b.firmware = static_cast<std::uint16_t>(n);
    } else if (arg == "--axes") {
      if (!value()) return false;
      if (!ParseInt(v, 1, kAxes, n)) return bad("an axis count 1..6");
      b.axis_count = static_cast<std::uint8_t>(n);
    } else if (arg == "--divisors") {
      if (!value()) return false;
      auto parts = SplitCommas(v);
      long long a = 0, d = 0;
      if (parts.size() != 2 || !ParseInt(parts[0], 1, 255, a) || !ParseInt(parts[1], 1, 255, d)) {
        return bad("A,B with each 1..255");
      }
      b.divisor_a = static_cast<std::uint8_t>(a);
      b.divisor_b = static_cast<std::uint8_t>(d);
    } else if (arg == "--report-ms") {
      if (!value()) return false;
      if (!ParseInt(v, 1, 1000, n)) return bad("milliseconds 1..1000");
      b.report_period_ms = static_cast<std::uint32_t>(n);
    } else if (arg == "--reports-from") {
      if (!value()) return false;
      if (v == "connect") b.reports_from = ReportsFrom::kConnect;
      else if (v == "status") b.reports_from = ReportsFrom::kStatus;
      else if (v == "motion") b.reports_from = ReportsFrom::kMotion;
      else return bad("connect, status or motion");
    } else if (arg == "--report-latency-ms") {
      if (!value()) return false;
      if (!ParseInt(v, 0, 2000, n)) return bad("milliseconds 0..2000");
      b.report_latency_ms = static_cast<std::uint32_t>(n);
    } else if (arg == "--fault") {
      if (!value()) return false;
      const std::size_t at = v.find('@');
      if (at == std::string_view::npos) return bad("KIND@Ns or KIND@Nseg");
      const std::string_view kind = v.substr(0, at);
      std::string_view when = v.substr(at + 1);
      CliFault fault;
      if (kind == "drop") fault.kind = CliFault::Kind::kDrop;
      else if (kind == "reset") fault.kind = CliFault::Kind::kReset;
      else if (kind == "silence") fault.kind = CliFault::Kind::kSilence;
      else if (kind == "random") fault.kind = CliFault::Kind::kRandom;
      else if (kind == "stopread") fault.kind = CliFault::Kind::kStopRead;
      else if (kind == "halfframe") fault.kind = CliFault::Kind::kHalfFrame;
      else if (kind == "posjump") fault.kind = CliFault::Kind::kPositionJump;
      else return bad("a kind drop, reset, silence, random, stopread, halfframe or posjump before the @");
      if (when.size() > 3 && when.substr(when.size() - 3) == "seg") {
        if (!ParseInt(when.substr(0, when.size() - 3), 1, 100000000, n)) return bad("KIND@Nseg with N 1..100000000");
        fault.after_segments = static_cast<std::uint32_t>(n);
      } else if (when.size() > 1 && when.back() == 's') {
        double secs = 0;
        when.remove_suffix(1);
        auto [end, ec] = std::from_chars(when.data(), when.data() + when.size(), secs);
        if (ec != std::errc() || end != when.data() + when.size() || !std::isfinite(secs) || secs < 0 || secs > 1e6) {
          return bad("KIND@Ns with N seconds 0..1000000");
        }
        fault.after_s = secs;
      } else {
        return bad("KIND@Ns or KIND@Nseg");
      }
      out.faults.push_back(fault);
    } else if (arg == "--home") {
      if (!value()) return false;
      int axis = 0, pin = 0;
      std::int32_t steps = 0;
      bool below = true;
      if (!ParsePlace(v, false, axis, pin, steps, below)) return bad("AXIS,PIN,STEPS[,above]");
      b.machine[axis].home_pin = static_cast<std::uint8_t>(pin);
      b.machine[axis].home_steps = steps;
      b.machine[axis].home_active_below = below;
    } else if (arg == "--probe") {
      if (!value()) return false;
      int axis = 0, pin = 0;
      std::int32_t steps = 0;
      bool below = true;
      if (!ParsePlace(v, true, axis, pin, steps, below)) return bad("PIN,AXIS,STEPS[,above]");
      b.probe_pin = static_cast<std::uint8_t>(pin);
      b.machine[axis].probe_steps = steps;
      b.machine[axis].probe_active_below = below;
    } else if (arg == "--limits") {
      if (!value()) return false;
      auto parts = SplitCommas(v);
      long long axis = 0, pmin = 0, smin = 0, pmax = 0, smax = 0;
      if (parts.size() != 5 || !ParseInt(parts[0], 0, kAxes - 1, axis) || !ParseInt(parts[1], 1, 63, pmin) ||
          !ParseInt(parts[2], INT32_MIN, INT32_MAX, smin) || !ParseInt(parts[3], 1, 63, pmax) ||
          !ParseInt(parts[4], INT32_MIN, INT32_MAX, smax) || smin >= smax) {
        return bad("AXIS,MINPIN,MIN,MAXPIN,MAX with MIN below MAX");
      }
      AxisMachine& m = b.machine[static_cast<std::size_t>(axis)];
      m.limit_min_pin = static_cast<std::uint8_t>(pmin);
      m.limit_min_steps = static_cast<std::int32_t>(smin);
      m.limit_max_pin = static_cast<std::uint8_t>(pmax);
      m.limit_max_steps = static_cast<std::int32_t>(smax);
    } else if (arg == "--pendant") {
      if (!value()) return false;
      auto parts = SplitCommas(v);
      long long channel = 0, kind = 0;
      if (parts.size() != 2 || !ParseInt(parts[0], 0, 1, channel) || !ParseInt(parts[1], 17, 20, kind)) {
        return bad("CHANNEL,KIND with CHANNEL 0 or 1 and KIND 17..20");
      }
      for (const CliPendant& p : out.pendants) {
        if (p.channel == channel) return bad("one pendant per channel");
      }
      out.pendants.push_back({static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(kind)});
    } else if (arg == "--pendant-key") {
      if (!value()) return false;
      CliPendantKey key;
      if (!ParseTimedKey(v, 0, 255, key)) {
        return bad("CHANNEL,BYTE@Ns with CHANNEL 0 or 1, BYTE 0..255 and N seconds 0..1000000");
      }
      out.pendant_keys.push_back(key);
    } else if (arg == "--pendant-flood") {
      if (!value()) return false;
      CliPendantKey key;
      if (!ParseTimedKey(v, 1, 127, key)) {
        return bad("CHANNEL,BYTE@Ns with CHANNEL 0 or 1, BYTE 1..127 and N seconds 0..1000000");
      }
      out.pendant_flood = key;
    } else if (arg == "--capture") {
      if (!value()) return false;
      if (v.empty()) return bad("a file name");
      out.capture_path = std::string(v);
    } else if (arg == "--time-limit") {
      if (!value()) return false;
      double s = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), s);
      if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(s) || s <= 0) {
        return bad("a positive number of seconds");
      }
      out.time_limit_s = s;
    } else {
      error = "unknown option " + std::string(arg);
      return false;
    }
  }
  return true;
}

}  // namespace kvboard
