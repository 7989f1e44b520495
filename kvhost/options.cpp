// Parsing kvhost's command line.
#include "options.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace kvhost {
namespace {

namespace fs = std::filesystem;

bool ParsePort(std::string_view text, std::uint16_t& port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// An output must never be written over a file the run reads (or the plug-in saves), nor over
// the other output.
bool RefuseOutputOver(const std::string& output, const char* option, const char* what_it_is,
                      const std::vector<std::pair<const std::string*, const char*>>& inputs, std::string& error) {
  if (output.empty()) return false;
  for (const auto& [path, what] : inputs) {
    if (!path->empty() && SameFile(output, *path)) {
      error = std::string(option) + " " + output + " is the " + what + " " + *path + "; the " + what_it_is +
              " would overwrite it";
      return true;
    }
  }
  return false;
}

bool RefuseOutputsOver(const Options& o, std::string& error) {
  std::vector<std::pair<const std::string*, const char*>> inputs = {
      {&o.program, "program"}, {&o.profile_path, "profile"}, {&o.plugin_path, "plug-in"}};
  if (RefuseOutputOver(o.summary_json, "--summary-json", "summary", inputs, error)) return true;
  inputs.emplace_back(&o.summary_json, "summary");
  return RefuseOutputOver(o.plot, "--plot", "plot", inputs, error);
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;  // also hard links and symbolic links
  std::error_code ec_a, ec_b;
  const fs::path resolved_a = fs::weakly_canonical(fs::absolute(a, ec_a), ec_a);
  const fs::path resolved_b = fs::weakly_canonical(fs::absolute(b, ec_b), ec_b);
  return !ec_a && !ec_b && resolved_a == resolved_b;
}

bool ParseOptions(int argc, const char* const* argv, Options& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      out.help = true;
    } else if (arg == "--plugin") {
      if (!value(out.plugin_path)) return false;
    } else if (arg == "--profile") {
      if (!value(out.profile_path)) return false;
    } else if (arg == "--board") {
      if (!value(out.board)) return false;
      if (out.board != "sim" && out.board != "external") {
        error = "--board takes sim or external, not " + out.board;
        return false;
      }
    } else if (arg == "--link") {
      if (!value(out.link)) return false;
      if (out.link != "ethernet" && out.link != "usb") {
        error = "--link takes ethernet or usb, not " + out.link;
        return false;
      }
    } else if (arg == "--listen-port") {
      if (!value(v)) return false;
      if (!ParsePort(v, out.listen_port)) {
        error = "--listen-port takes a port number 1..65535, not " + v;
        return false;
      }
    } else if (arg == "--discovery") {
      if (!value(v)) return false;
      std::size_t colon = v.rfind(':');
      std::uint16_t port = 0;
      if (colon == std::string::npos || colon == 0 || !ParsePort(std::string_view(v).substr(colon + 1), port)) {
        error = "--discovery takes ADDR:PORT, not " + v;
        return false;
      }
      out.discovery = v;
    } else if (arg == "--time-limit") {
      if (!value(v)) return false;
      double seconds = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
      if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(seconds) || seconds <= 0) {
        error = "--time-limit takes a positive number of seconds, not " + v;
        return false;
      }
      if (seconds > kMaxTimeLimit_s) {
        error = "--time-limit takes at most " + std::to_string(static_cast<long>(kMaxTimeLimit_s)) +
                " seconds (the clock's range), not " + v;
        return false;
      }
      out.time_limit_s = seconds;
    } else if (arg == "--await-reconnect") {
      if (!value(v)) return false;
      double seconds = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
      if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(seconds) || seconds <= 0 ||
          seconds > kMaxTimeLimit_s) {
        error = "--await-reconnect takes a positive number of seconds, not " + v;
        return false;
      }
      out.await_reconnect_s = seconds;
    } else if (arg == "--dialog") {
      out.dialog = true;
    } else if (arg == "--upload-config") {
      if (!value(out.upload_config)) return false;
    } else if (arg == "--upgrade") {
      if (!value(out.upgrade)) return false;
    } else if (arg == "--summary-json") {
      if (!value(out.summary_json)) return false;
    } else if (arg == "--plot") {
      if (!value(out.plot)) return false;
      if (out.plot.empty()) {
        error = "--plot needs a file name";
        return false;
      }
    } else if (arg == "--dry-run") {
      out.dry_run = true;
    } else if (arg == "--watch") {
      out.watch = true;
    } else if (arg == "--skip-pauses") {
      out.skip_pauses = true;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + std::string(arg);
      return false;
    } else if (out.program.empty()) {
      out.program = arg;
    } else {
      error = "only one program may be given";
      return false;
    }
  }
  if (out.watch && (out.dry_run || !out.program.empty())) {
    error = "--watch runs no program: give neither a program nor --dry-run";
    return false;
  }
  const int dialog_commands = (out.dialog ? 1 : 0) + (out.upload_config.empty() ? 0 : 1) + (out.upgrade.empty() ? 0 : 1);
  if (dialog_commands > 1 || (dialog_commands == 1 && (out.watch || out.dry_run || !out.program.empty()))) {
    error = "--dialog, --upload-config and --upgrade go alone: no program, --dry-run or --watch, and one of them";
    return false;
  }
  if (!out.plot.empty() && out.program.empty()) {
    error = "--plot draws a program's path: give a program";
    return false;
  }
  return !RefuseOutputsOver(out, error);
}

}  // namespace kvhost
