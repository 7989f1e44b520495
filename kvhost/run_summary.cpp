// Printing and writing the run summary.
#include "run_summary.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kvhost {
namespace {

constexpr const char* kAxisNames = "XYZABC";

template <typename T>
std::string JsonArray(const std::array<T, 6>& values) {
  std::ostringstream out;
  out.precision(12);
  out << '[';
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? "," : "") << values[i];
  out << ']';
  return out.str();
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

unsigned long long U(std::uint64_t v) { return static_cast<unsigned long long>(v); }

std::uint64_t Reconnects(const host::LinkState& h) { return h.connections > 1 ? h.connections - 1 : 0; }

}  // namespace

std::string EndMismatch(const RunSummary& s) {
  const RunResult& r = s.run;
  for (int k = 0; k < 6; ++k) {
    const std::int64_t want = r.program_end_steps[k];
    std::string axis(1, kAxisNames[k]);
    if (r.axis_position[k] != want) {
      return "the host's " + axis + " ended at " + std::to_string(r.axis_position[k]) + " steps, the program ends at " +
             std::to_string(want);
    }
    if (s.board_end_steps && (*s.board_end_steps)[k] != want) {
      return "the board's " + axis + " ended at " + std::to_string((*s.board_end_steps)[k]) +
             " steps, the program ends at " + std::to_string(want);
    }
  }
  return "";
}

RunOutcome Outcome(const RunSummary& s) {
  const RunResult& r = s.run;
  if (r.interrupted) return RunOutcome::kInterrupted;
  if (r.estop) return RunOutcome::kEstop;
  if (r.timed_out) return RunOutcome::kTimedOut;
  if (r.stalled) return RunOutcome::kStalled;
  if (!r.completed || s.dry_run) return RunOutcome::kFailed;
  if (!EndMismatch(s).empty()) return RunOutcome::kEndMismatch;
  if (s.underruns && *s.underruns > 0) return RunOutcome::kUnderruns;
  return RunOutcome::kCompleted;
}

const char* OutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted: return "completed";
    case RunOutcome::kEndMismatch: return "end_mismatch";
    case RunOutcome::kUnderruns: return "underruns";
    case RunOutcome::kEstop: return "estop";
    case RunOutcome::kTimedOut: return "timed_out";
    case RunOutcome::kStalled: return "stalled";
    case RunOutcome::kInterrupted: return "interrupted";
    case RunOutcome::kFailed: break;
  }
  return "failed";
}

std::array<double, 6> PeakVelocity(const RunSummary& s) {
  std::array<double, 6> out{};
  if (!s.board_peak_steps_per_segment || !(s.segment_time_s > 0)) return out;
  for (int k = 0; k < 6; ++k) {
    const double spu = s.steps_per_unit[k];
    if (spu > 0) out[k] = (*s.board_peak_steps_per_segment)[k] / spu / s.segment_time_s;
  }
  return out;
}

std::array<double, 6> PeakAcceleration(const RunSummary& s) {
  std::array<double, 6> out{};
  if (!s.board_peak_step_change || !(s.segment_time_s > 0)) return out;
  for (int k = 0; k < 6; ++k) {
    const double spu = s.steps_per_unit[k];
    if (spu > 0) out[k] = (*s.board_peak_step_change)[k] / spu / (s.segment_time_s * s.segment_time_s);
  }
  return out;
}

void PrintSummary(const RunSummary& s) {
  const RunResult& r = s.run;
  switch (Outcome(s)) {
    case RunOutcome::kCompleted: std::printf("run completed\n"); break;
    case RunOutcome::kEndMismatch:
      std::printf("run failed: the machine did not end where the program ends (%s)\n", EndMismatch(s).c_str());
      break;
    case RunOutcome::kUnderruns:
      std::printf("run not clean: the board's queue ran dry %u time%s mid-motion (each a stop in the middle of a cut)\n",
                  *s.underruns, *s.underruns == 1 ? "" : "s");
      break;
    case RunOutcome::kEstop: std::printf("run ended in E-stop\n"); break;
    case RunOutcome::kTimedOut: std::printf("run timed out\n"); break;
    default: std::printf("run failed\n"); break;
  }
  if (!r.error.empty()) std::printf("error: %s\n", r.error.c_str());
  if (!s.link.empty()) std::printf("link %s\n", s.link.c_str());
  std::printf("segments planned %llu", static_cast<unsigned long long>(r.segments_planned));
  if (s.segments_sent) std::printf(", sent %llu", static_cast<unsigned long long>(*s.segments_sent));
  std::printf(" (segment period %.3f ms)\n", s.segment_time_s * 1000.0);
  std::printf("axis   program end   host position%s\n", s.board_end_steps ? "     board end" : "");
  for (int k = 0; k < 6; ++k) {
    std::printf("  %c  %12lld  %14d", kAxisNames[k], static_cast<long long>(r.program_end_steps[k]), r.axis_position[k]);
    if (s.board_end_steps) std::printf("  %12d", (*s.board_end_steps)[k]);
    std::printf("  steps\n");
  }
  if (s.underruns) std::printf("underruns %u", *s.underruns);
  if (s.lowest_queue_depth) std::printf(", lowest board queue depth %d", *s.lowest_queue_depth);
  if (s.underruns) std::printf("\n");
  if (s.board_peak_steps_per_segment && s.board_peak_step_change) {
    const std::array<double, 6> velocity = PeakVelocity(s);
    const std::array<double, 6> acceleration = PeakAcceleration(s);
    std::printf("board peak per segment: velocity");
    for (int k = 0; k < 6; ++k) std::printf(" %c %.4g", kAxisNames[k], velocity[k]);
    std::printf(" units/s; acceleration");
    for (int k = 0; k < 6; ++k) std::printf(" %c %.4g", kAxisNames[k], acceleration[k]);
    std::printf(" units/s^2\n");
  }
  if (s.link_health) {
    const host::LinkState& h = *s.link_health;
    std::printf("link health: frames sent %llu (%llu bytes), received %llu (%llu bytes); records skipped %llu, "
                "malformed %llu; frames cut %llu; send failures %llu; link losses %llu, reconnects %llu, "
                "stall closes %llu; E-stops %llu\n",
                U(h.frames_sent), U(h.bytes_sent), U(h.frames_received), U(h.bytes_received), U(h.records_skipped),
                U(h.records_malformed), U(h.frames_cut), U(h.send_failures), U(h.link_losses), U(Reconnects(h)),
                U(h.stall_closes), U(h.estops));
  }
  std::printf("wall time %.2f s\n", r.wall_s);
}

RunSummary DryRunSummary(const kvgcode::PlanSummary& plan, const kvgcode::MachineSettings& settings,
                         double segment_time_s) {
  RunSummary s;
  s.dry_run = true;
  s.segment_time_s = segment_time_s;
  s.segments_total = plan.segments;
  s.run.segments_planned = plan.segments;
  for (std::size_t k = 0; k < 6; ++k) {
    s.steps_per_unit[k] = settings.steps_per_unit[k];
    s.run.program_end_steps[k] = plan.end_steps[k];
  }
  s.program_end_units = std::array<double, 6>{};
  for (std::size_t k = 0; k < 6; ++k) (*s.program_end_units)[k] = plan.end_units[k];
  s.estimated_time_s = plan.estimated_time_s;
  s.dwell_time_s = plan.dwell_time_s;
  if (plan.error) s.run.error = *plan.error;
  return s;
}

std::string SummaryJson(const RunSummary& s) {
  const RunResult& r = s.run;
  std::ostringstream out;
  out.precision(12);
  const RunOutcome outcome = Outcome(s);
  out << "{\"completed\":" << (outcome == RunOutcome::kCompleted ? "true" : "false");
  out << ",\"dry_run\":" << (s.dry_run ? "true" : "false");
  if (!s.dry_run) out << ",\"outcome\":\"" << OutcomeName(outcome) << "\"";
  if (!s.dry_run && r.completed) out << ",\"end_matches\":" << (EndMismatch(s).empty() ? "true" : "false");
  out      << ",\"estop\":" << (r.estop ? "true" : "false") << ",\"timed_out\":" << (r.timed_out ? "true" : "false")
      << ",\"segments_planned\":" << r.segments_planned << ",\"segments_total\":" << s.segments_total;
  if (s.segments_sent) out << ",\"segments_sent\":" << *s.segments_sent;
  if (!s.link.empty()) out << ",\"link\":\"" << JsonEscape(s.link) << "\"";
  if (!s.dry_run) out << ",\"wall_s\":" << r.wall_s;
  out << ",\"segment_time_s\":" << s.segment_time_s;
  if (s.estimated_time_s) out << ",\"estimated_time_s\":" << *s.estimated_time_s;
  if (s.dwell_time_s) out << ",\"dwell_time_s\":" << *s.dwell_time_s;
  out << ",\"steps_per_unit\":" << JsonArray(s.steps_per_unit) << ",\"program_end_steps\":" << JsonArray(r.program_end_steps);
  if (s.program_end_units) out << ",\"program_end_units\":" << JsonArray(*s.program_end_units);
  if (!s.dry_run) out << ",\"axis_position\":" << JsonArray(r.axis_position);
  if (s.board_end_steps) out << ",\"board_end_steps\":" << JsonArray(*s.board_end_steps);
  if (s.underruns) out << ",\"underruns\":" << *s.underruns;
  if (s.lowest_queue_depth) out << ",\"lowest_queue_depth\":" << *s.lowest_queue_depth;
  if (s.board_peak_steps_per_segment && s.board_peak_step_change) {
    out << ",\"board_peak_steps_per_segment\":" << JsonArray(*s.board_peak_steps_per_segment)
        << ",\"board_peak_step_change\":" << JsonArray(*s.board_peak_step_change)
        << ",\"board_peak_velocity\":" << JsonArray(PeakVelocity(s))
        << ",\"board_peak_acceleration\":" << JsonArray(PeakAcceleration(s));
  }
  if (s.link_health) {
    const host::LinkState& h = *s.link_health;
    out << ",\"link_health\":{\"frames_sent\":" << h.frames_sent << ",\"bytes_sent\":" << h.bytes_sent
        << ",\"frames_received\":" << h.frames_received << ",\"bytes_received\":" << h.bytes_received
        << ",\"records_skipped\":" << h.records_skipped << ",\"records_malformed\":" << h.records_malformed
        << ",\"frames_cut\":" << h.frames_cut << ",\"send_failures\":" << h.send_failures
        << ",\"link_losses\":" << h.link_losses << ",\"connections\":" << h.connections
        << ",\"reconnects\":" << Reconnects(h) << ",\"stall_closes\":" << h.stall_closes
        << ",\"estops\":" << h.estops << "}";
  }
  if (!r.error.empty()) out << ",\"error\":\"" << JsonEscape(r.error) << "\"";
  out << "}";
  return out.str();
}

bool WriteSummaryJson(const RunSummary& summary, const std::string& path, std::string& error) {
  std::ofstream file(path);
  file << SummaryJson(summary) << "\n";
  file.close();  // a full disk shows only when the buffer goes out
  if (!file) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace kvhost
