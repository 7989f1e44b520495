// kvhost's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kvhost {

struct Options {
  std::string plugin_path;                 // --plugin PATH
  std::string profile_path = "kvhost-profile.xml";  // --profile PATH
  std::string board = "sim";               // --board sim|external
  std::string link = "ethernet";           // --link ethernet|usb
  std::uint16_t listen_port = 20176;       // --listen-port N
  std::optional<std::string> discovery;    // --discovery ADDR:PORT
  std::optional<double> time_limit_s;      // --time-limit SECONDS
  std::string summary_json;                // --summary-json PATH
  std::string plot;                        // --plot FILE.svg: a picture of the path
  bool dry_run = false;                    // --dry-run
  bool watch = false;                      // --watch: stay up after identification
  bool skip_pauses = false;                // --skip-pauses: run through M0/M1
  bool dialog = false;                     // --dialog: print the plug-in's dialog
  std::string upload_config;               // --upload-config FILE
  std::string upgrade;                     // --upgrade FILE: the firmware image
  std::optional<double> await_reconnect_s; // --await-reconnect SECONDS: after a lost link
  std::string program;                     // PROGRAM
  bool help = false;
};

inline constexpr const char* kUsage =
    "usage: kvhost [--plugin PATH] [--profile PATH] [--board sim|external] [--link ethernet|usb]\n"
    "              [--listen-port N]\n"
    "              [--discovery ADDR:PORT] [--time-limit SECONDS] [--summary-json PATH] [--plot FILE.svg]\n"
    "              [--dialog | --upload-config FILE | --upgrade FILE]\n"
    "              [--dry-run] [--watch] [--await-reconnect SECONDS] [--skip-pauses] [PROGRAM]\n";

// The longest --time-limit: the millisecond clock's deadlines hold no more.
inline constexpr double kMaxTimeLimit_s = 2147483.0;

// Parses argv; on a usage error returns false with the reason in `error`. A --summary-json
// or --plot path that names the program, the profile or the plug-in (or each other) is a usage
// error.
bool ParseOptions(int argc, const char* const* argv, Options& out, std::string& error);

// True when both paths name one file, existing or not (links and relative paths resolved).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kvhost
