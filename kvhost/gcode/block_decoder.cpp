// Decoding of one line's words into a Block; anything unknown is an error, never silently skipped.
#include "block_decoder.h"

#include <array>
#include <cmath>
#include <string>

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
  ProgramEnd, Spindle, ToolChange, FeedMode, ArcCentre, Retract, WorkSystem, OneShot, MachineCoordinates, Coolant,
  Count
};

constexpr std::array<const char*, static_cast<std::size_t>(Group::Count)> kGroupNames{
    "motion", "dwell", "plane", "units", "cutter compensation", "tool length", "path mode",
    "distance mode", "program end or pause", "spindle", "tool change", "feed mode", "arc centre mode",
    "retract mode", "work offset", "non-modal", "machine coordinate", "coolant"};

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
      case 'O':  // a program number names the program; nothing to do
        o_word_ = &word;
        return std::nullopt;
      case 'X': return Value(word, block_.axes[Index(Axis::X)]);
      case 'Y': return Value(word, block_.axes[Index(Axis::Y)]);
      case 'Z': return Value(word, block_.axes[Index(Axis::Z)]);
      case 'A': return Value(word, block_.axes[Index(Axis::A)]);
      case 'B': return Value(word, block_.axes[Index(Axis::B)]);
      case 'C': return Value(word, block_.axes[Index(Axis::C)]);
      case 'I': return Value(word, block_.arc_i);
      case 'J': return Value(word, block_.arc_j);
      case 'K': return Value(word, block_.arc_k);
      case 'R': return Value(word, block_.arc_r);
      case 'F':
        if (!(word.value > 0.0)) return Fault(word, "feed rate must be above zero:");
        return Value(word, block_.feed_per_min);
      case 'S':
        if (word.value < 0.0) return Fault(word, "spindle speed must not be negative:");
        return Value(word, block_.spindle_speed);
      case 'P':  // G4's time, G10's system, G82's dwell or G64's tolerance: see Finish
        p_word_ = &word;
        return Value(word, block_.dwell_s);
      case 'Q':
        if (!(word.value > 0.0)) return Fault(word, "peck depth Q must be above zero:");
        return Value(word, block_.peck_q);
      case 'T': return Whole(word, kLargestToolNumber, "tool number", block_.tool);
      case 'H': return Whole(word, kLargestToolNumber, "tool offset number", block_.tool_offset_h);
      case 'L': return Whole(word, kLargestL, "L", block_.l_word);
      default: return Unsupported(word);
    }
  }

  // Checks that need the whole line.
  std::optional<LineError> Finish(std::span<const Word> words) {
    if (o_word_) {
      // With anything else on its line an O word would be a subroutine call or a control word
      // of some dialect, which this interpreter does not run.
      for (const Word& word : words) {
        if (word.letter != 'O' && word.letter != 'N') {
          return Fault(*o_word_, "a program number must stand alone on its line:");
        }
      }
    }
    if (g80_word_) {
      // G80 beside G0..G3 only cancels the cycle the other code replaces anyway; beside a cycle
      // it contradicts it.
      if (!block_.motion) {
        block_.motion = MotionMode::Off;
      } else if (IsDrillCycle(*block_.motion)) {
        const Word& other = *group_words_[Index(Group::Motion)];
        return LineError{other.Text(), "two motion codes on one line: \"" + g80_word_->Text() + "\" and \"" +
                                           other.Text() + "\""};
      }
    }
    if (block_.dwell && !block_.dwell_s) return Fault(*group_words_[Index(Group::Dwell)], "dwell without a P word:");
    const bool blend = block_.path_mode == PathMode::Blend;
    if (block_.dwell_s && *block_.dwell_s < 0.0) {
      return Fault(*p_word_, blend ? "path tolerance must not be negative:"
                                   : "P (a dwell time or a system number) must not be negative:");
    }
    if (blend && block_.dwell_s) {
      // G64's P is its tolerance; a code on the same line that wants P for itself makes the
      // line ambiguous.
      const char* other = block_.dwell                             ? "G4"
                          : block_.one_shot == OneShot::SetOffsets ? "G10"
                          : block_.motion == MotionMode::DrillDwell ? "G82"
                                                                    : nullptr;
      if (other) return Fault(*p_word_, std::string("P word with both ") + other + " and G64:");
      block_.path_tolerance = block_.dwell_s;
      block_.dwell_s.reset();
    }
    // P, Q, H and L also go with codes of earlier lines (a drilling cycle's P and Q): the
    // interpreter, which knows those, decides whether they belong.
    return std::nullopt;
  }

 private:
  static constexpr int kLargestL = 1000;

  static std::size_t Index(Group group) { return static_cast<std::size_t>(group); }
  static std::size_t Index(Axis axis) { return kvgcode::Index(axis); }

  static LineError Fault(const Word& word, const std::string& what) {
    return LineError{ShortWord(word.Text()), what + " " + QuotedWord(word.Text())};
  }

  template <typename T>
  std::optional<LineError> Value(const Word& word, std::optional<T>& slot) {
    if (slot) return Fault(word, "repeated word");
    slot = static_cast<T>(word.value);
    return std::nullopt;
  }

  std::optional<LineError> Whole(const Word& word, int largest, const std::string& what, std::optional<int>& slot) {
    if (!(word.value >= 0.0 && word.value <= largest) || word.value != std::floor(word.value)) {
      return Fault(word, what + " must be a whole number from 0 to " + std::to_string(largest) + ":");
    }
    return Value(word, slot);
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

  template <typename T>
  std::optional<LineError> Set(Group group, const Word& word, std::optional<T>& slot, T value) {
    slot = value;
    return Claim(group, word);
  }

  std::optional<LineError> AddG(const Word& word) {
    switch (CodeTenths(word.value)) {
      case 0: return Set(Group::Motion, word, block_.motion, MotionMode::Rapid);
      case 10: return Set(Group::Motion, word, block_.motion, MotionMode::Linear);
      case 20: return Set(Group::Motion, word, block_.motion, MotionMode::ClockwiseArc);
      case 30: return Set(Group::Motion, word, block_.motion, MotionMode::CounterClockwiseArc);
      case 40: block_.dwell = true; return Claim(Group::Dwell, word);
      case 100: return Set(Group::OneShot, word, block_.one_shot, OneShot::SetOffsets);
      case 170: return Set(Group::Plane, word, block_.plane, Plane::XY);
      case 180: return Set(Group::Plane, word, block_.plane, Plane::ZX);
      case 190: return Set(Group::Plane, word, block_.plane, Plane::YZ);
      case 200: return Set(Group::Units, word, block_.units, Units::Inches);
      case 210: return Set(Group::Units, word, block_.units, Units::Millimetres);
      case 280: return Set(Group::OneShot, word, block_.one_shot, OneShot::GoHome);
      case 300: return Set(Group::OneShot, word, block_.one_shot, OneShot::GoSecondHome);
      case 400: return Claim(Group::CutterCompensation, word);  // compensation off is all we do
      case 430: return Set(Group::ToolLength, word, block_.tool_length, ToolLengthCommand::Apply);
      case 490: return Set(Group::ToolLength, word, block_.tool_length, ToolLengthCommand::Cancel);
      case 530: block_.machine_coordinates = true; return Claim(Group::MachineCoordinates, word);
      case 540:
      case 550:
      case 560:
      case 570:
      case 580:
      case 590: return Set(Group::WorkSystem, word, block_.work_system, (CodeTenths(word.value) - 540) / 10 + 1);
      case 610: return Set(Group::PathMode, word, block_.path_mode, PathMode::ExactStop);
      case 640: return Set(Group::PathMode, word, block_.path_mode, PathMode::Blend);
      case 730: return Set(Group::Motion, word, block_.motion, MotionMode::ChipBreakDrill);
      case 800:  // may share a line with G0..G3 (a common safety line): see Finish
        if (g80_word_) return Fault(word, "repeated word");
        g80_word_ = &word;
        return std::nullopt;
      case 810: return Set(Group::Motion, word, block_.motion, MotionMode::Drill);
      case 820: return Set(Group::Motion, word, block_.motion, MotionMode::DrillDwell);
      case 830: return Set(Group::Motion, word, block_.motion, MotionMode::PeckDrill);
      case 900: return Set(Group::Distance, word, block_.distance, DistanceMode::Absolute);
      case 901: return Set(Group::ArcCentre, word, block_.arc_centre, ArcCentreMode::Absolute);
      case 910: return Set(Group::Distance, word, block_.distance, DistanceMode::Incremental);
      case 911: return Set(Group::ArcCentre, word, block_.arc_centre, ArcCentreMode::Incremental);
      case 920: return Set(Group::OneShot, word, block_.one_shot, OneShot::SetG92);
      case 921: return Set(Group::OneShot, word, block_.one_shot, OneShot::ClearG92);
      case 930: return Set(Group::FeedMode, word, block_.feed_mode, FeedMode::InverseTime);
      case 940: return Set(Group::FeedMode, word, block_.feed_mode, FeedMode::PerMinute);
      case 980: return Set(Group::Retract, word, block_.retract, RetractMode::InitialLevel);
      case 990: return Set(Group::Retract, word, block_.retract, RetractMode::RPlane);
      default: return Unsupported(word);
    }
  }

  std::optional<LineError> AddM(const Word& word) {
    switch (CodeTenths(word.value)) {
      case 0: return Set(Group::ProgramEnd, word, block_.pause, PauseKind::Always);
      case 10: return Set(Group::ProgramEnd, word, block_.pause, PauseKind::Optional);
      case 20:
      case 300: block_.program_end = true; return Claim(Group::ProgramEnd, word);
      case 30: return Set(Group::Spindle, word, block_.spindle, SpindleCommand::Clockwise);
      case 40: return Set(Group::Spindle, word, block_.spindle, SpindleCommand::CounterClockwise);
      case 50: return Set(Group::Spindle, word, block_.spindle, SpindleCommand::Stop);
      case 60: block_.tool_change = true; return Claim(Group::ToolChange, word);
      // Mist and flood may run together; M9 stops both and so shares a line with neither.
      case 70: block_.mist_on = true; return Coolant(word, mist_word_);
      case 80: block_.flood_on = true; return Coolant(word, flood_word_);
      case 90: block_.coolant_off = true; return Coolant(word, off_word_);
      default: return Unsupported(word);
    }
  }

  std::optional<LineError> Coolant(const Word& word, const Word*& slot) {
    if (slot) return Fault(word, "repeated word");
    slot = &word;
    const Word* on = mist_word_ ? mist_word_ : flood_word_;
    if (off_word_ && on) {
      return LineError{word.Text(), std::string("two coolant codes on one line: \"") + on->Text() + "\" and \"" +
                                        off_word_->Text() + "\""};
    }
    return std::nullopt;
  }

  Block& block_;
  std::array<const Word*, static_cast<std::size_t>(Group::Count)> group_words_{};
  const Word* o_word_ = nullptr;
  const Word* p_word_ = nullptr;
  const Word* g80_word_ = nullptr;
  const Word* mist_word_ = nullptr;
  const Word* flood_word_ = nullptr;
  const Word* off_word_ = nullptr;
};

}  // namespace

std::optional<LineError> DecodeBlock(std::span<const Word> words, Block& out) {
  Decoder decoder(out);
  for (const Word& word : words) {
    if (auto error = decoder.Add(word)) return error;
  }
  return decoder.Finish(words);
}

}  // namespace kvgcode
