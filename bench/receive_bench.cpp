// Receive-path throughput (Google Benchmark): the board's reports as the Ethernet link hands them
// over, through the stream reassembler alone, through the receive parser alone, and through both
// as a link thread runs them (StreamFeed, one receive per report). Frames and bytes per second.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_host.h"
#include "link/link_interface.h"
#include "link/reassembler.h"
#include "report_builder.h"
#include "runtime/action_queue.h"
#include "service/receive_parser.h"

namespace {

// What a streaming board sends most: positions, executed segments and inputs, in varying values
// so that the parser does its work each time (positions move, the executed count advances).
struct Stream {
  std::vector<std::vector<std::uint8_t>> frames;  // each with its length byte
  std::vector<std::uint8_t> bytes;                // all of them back to back
};

Stream BoardReports() {
  Stream s;
  std::array<std::int32_t, kvboard::kAxes> steps{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (int k = 0; k < 3; ++k) steps[k] += static_cast<std::int32_t>(i % 7) - 3 + k;
    s.frames.push_back(kvboard::PositionReport(steps));
    s.frames.push_back(kvboard::ExecutedReport(i));
    if (i % 8 == 0) s.frames.push_back(kvboard::InputReport(0));
  }
  for (const auto& f : s.frames) s.bytes.insert(s.bytes.end(), f.begin(), f.end());
  return s;
}

const Stream& Reports() {
  static const Stream s = BoardReports();
  return s;
}

void Finish(benchmark::State& state, std::size_t frames_per_round, std::size_t bytes_per_round) {
  const auto rounds = static_cast<double>(state.iterations());
  state.counters["frames/s"] = benchmark::Counter(rounds * static_cast<double>(frames_per_round), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes_per_round));
}

void Reassembler(benchmark::State& state) {
  const Stream& s = Reports();
  kv::FrameReassembler reassembler;
  std::size_t delivered = 0;
  for (auto _ : state) {
    for (const auto& f : s.frames) {
      reassembler.Feed(std::span<const std::uint8_t>(f), [&](std::span<const std::uint8_t> body) { delivered += body.size(); });
    }
  }
  benchmark::DoNotOptimize(delivered);
  Finish(state, s.frames.size(), s.bytes.size());
}
BENCHMARK(Reassembler);

void Parser(benchmark::State& state) {
  kvfuzz::InstallLiveHost();
  const Stream& s = Reports();
  for (auto _ : state) {
    for (const auto& f : s.frames) kv::parse_board_frame(std::span<const std::uint8_t>(f).subspan(1));
    kv::ActionReset();  // nobody consumes the actions the reports post
  }
  Finish(state, s.frames.size(), s.bytes.size());
}
BENCHMARK(Parser);

void ReassemblerAndParser(benchmark::State& state) {
  kvfuzz::InstallLiveHost();
  const Stream& s = Reports();
  for (auto _ : state) {
    for (const auto& f : s.frames) kv::StreamFeed(std::span<const std::uint8_t>(f));
    kv::ActionReset();
  }
  Finish(state, s.frames.size(), s.bytes.size());
}
BENCHMARK(ReassemblerAndParser);

}  // namespace

BENCHMARK_MAIN();
