// Decoding of one line's words into a Block; anything unknown is an error, never silently skipped.
#include "block_decoder.h"

#include <array>
#include <cmath>

namespace kvgcode {
namespace {

// G- and M-codes are compared as tenths so that G61.1 and the like are told apart from G61.
constexpr int kNoCode = -1;
constexpr double kLargestCode = 1000.0;

int CodeTenths(double value) {
  if (!(value >= 0.0 && value < kLargestCode)) return kNoCode;
  const double tenths = value * 10.0;
  const double rounded = std::round(tenths);
  if (std::fabs(tenths - rounded) > 1e-6) return kNoCode;
  return static_cast<int>(rounded);
}

// Modal groups: at most one code of each per line.
enum class Group : std::size_t {
  Motion, Dwell, Plane, Units, CutterCompensation, ToolLength, PathMode, Distance,
  ProgramEnd, Spindle, ToolChange, Count
};

constexpr std::array<const char*, static_cast<std::size_t>(Group::Count)> kGroupNames{
    "motion", "dwell", "plane", "units", "cutter compensation", "tool length", "path mode",
    "distance mode", "program end", "spindle", "tool change"};

LineError Unsupported(const Word& word) {
  return LineError{ShortWord(word.Text()), "unsupported word " + QuotedWord(word.Text())};
}

class Decoder {
 public:
  explicit Decoder(Block& block) : block_(block) {}

  std::optional<LineError> Add(const Word& word) {
    switch (word.letter) {
      case 'G': return AddG(word);
      case 'M': return AddM(word);
      case 'N': return std::nullopt;  // line numbers carry no meaning here
      case 'X': return Value(word, block_.axes[Index(Axis::X)]);
      case 'Y': return Value(word, block_.axes[Index(Axis::Y)]);
      case 'Z': return Value(word, block_.axes[Index(Axis::Z)]);
      case 'A': return Value(word, block_.axes[Index(Axis::A)]);
      case 'B': return Value(word, block_.axes[Index(Axis::B)]);
      case 'C': return Value(word, block_.axes[Index(Axis::C)]);
      case 'I': return Value(word, block_.arc_i);
      case 'J': return Value(word, block_.arc_j);
      case 'R': return Value(word, block_.arc_r);
      case 'F':
        if (!(word.value > 0.0)) return Fault(word, "feed rate must be above zero:");
        return Value(word, block_.feed_per_min);
      case 'S':
        if (word.value < 0.0) return Fault(word, "spindle speed must not be negative:");
        return Value(word, block_.spindle_speed);
      case 'P':
        if (word.value < 0.0) return Fault(word, "dwell time must not be negative:");
        return Value(word, block_.dwell_s);
      case 'T': return AddTool(word);
      default: return Unsupported(word);
    }
  }

  // Checks that need the whole line.
  std::optional<LineError> Finish() const {
    if (block_.dwell && !block_.dwell_s) return Fault(*group_words_[Index(Group::Dwell)], "dwell without a P word:");
    if (block_.dwell_s && !block_.dwell) return Fault(*p_word_, "P word without G4:");
    return std::nullopt;
  }

 private:
  static std::size_t Index(Group group) { return static_cast<std::size_t>(group); }
  static std::size_t Index(Axis axis) { return kvgcode::Index(axis); }

  static LineError Fault(const Word& word, const std::string& what) {
    return LineError{ShortWord(word.Text()), what + " " + QuotedWord(word.Text())};
  }

  template <typename T>
  std::optional<LineError> Value(const Word& word, std::optional<T>& slot) {
    if (slot) return Fault(word, "repeated word");
    slot = static_cast<T>(word.value);
    if (word.letter == 'P') p_word_ = &word;
    return std::nullopt;
  }

  std::optional<LineError> AddTool(const Word& word) {
    constexpr double kLargestTool = 1e6;
    if (!(word.value >= 0.0 && word.value <= kLargestTool) || word.value != std::floor(word.value)) {
      return Fault(word, "tool number must be a whole number from 0 to 1000000:");
    }
    return Value(word, block_.tool);
  }

  std::optional<LineError> Claim(Group group, const Word& word) {
    const Word*& first = group_words_[Index(group)];
    if (first) {
      return LineError{word.Text(), std::string("two ") + kGroupNames[Index(group)] + " codes on one line: \"" +
                                        first->Text() + "\" and \"" + word.Text() + "\""};
    }
    first = &word;
    return std::nullopt;
  }

  std::optional<LineError> AddG(const Word& word) {
    switch (CodeTenths(word.value)) {
      case 0: return SetMotion(word, MotionMode::Rapid);
      case 10: return SetMotion(word, MotionMode::Linear);
      case 20: return SetMotion(word, MotionMode::ClockwiseArc);
      case 30: return SetMotion(word, MotionMode::CounterClockwiseArc);
      case 40: block_.dwell = true; return Claim(Group::Dwell, word);
      case 170: return Claim(Group::Plane, word);  // XY is the only plane
      case 200: block_.units = Units::Inches; return Claim(Group::Units, word);
      case 210: block_.units = Units::Millimetres; return Claim(Group::Units, word);
      case 400: return Claim(Group::CutterCompensation, word);  // compensation off is all we do
      case 490: return Claim(Group::ToolLength, word);          // no tool length offsets
      case 610:
      case 640: return Claim(Group::PathMode, word);  // every move stops exactly anyway
      case 900: block_.distance = DistanceMode::Absolute; return Claim(Group::Distance, word);
      case 910: block_.distance = DistanceMode::Incremental; return Claim(Group::Distance, word);
      default: return Unsupported(word);
    }
  }

  std::optional<LineError> SetMotion(const Word& word, MotionMode mode) {
    block_.motion = mode;
    return Claim(Group::Motion, word);
  }

  std::optional<LineError> AddM(const Word& word) {
    switch (CodeTenths(word.value)) {
      case 20:
      case 300: block_.program_end = true; return Claim(Group::ProgramEnd, word);
      case 30: block_.spindle = SpindleCommand::Clockwise; return Claim(Group::Spindle, word);
      case 40: block_.spindle = SpindleCommand::CounterClockwise; return Claim(Group::Spindle, word);
      case 50: block_.spindle = SpindleCommand::Stop; return Claim(Group::Spindle, word);
      case 60: block_.tool_change = true; return Claim(Group::ToolChange, word);
      default: return Unsupported(word);
    }
  }

  Block& block_;
  std::array<const Word*, static_cast<std::size_t>(Group::Count)> group_words_{};
  const Word* p_word_ = nullptr;
};

}  // namespace

std::optional<LineError> DecodeBlock(std::span<const Word> words, Block& out) {
  Decoder decoder(out);
  for (const Word& word : words) {
    if (auto error = decoder.Add(word)) return error;
  }
  return decoder.Finish();
}

}  // namespace kvgcode
