// Pendant tables pinned entry by entry: the four key maps over every key byte, what every key code
// does (jogs and their releases, buttons, G-code lines, DRO and planner changes), the axis keys of
// each armed family, the zero keys for every hand-wheel axis, and the display record's step
// classes at their boundaries. The expected tables are written out here on their own, so a single
// wrong entry in the plug-in's tables fails a test.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "motion/pendant.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"
#include "testing/fake_host.h"

namespace kv {
namespace {

// The key maps: entry b is the key code of key byte b.
const std::map<int, std::vector<int>> kExpectedMaps = {
    {17, {0, 0, 38, 36, 12, 21, 37, 9, 13, 0, 0, 0}},
    {19, {0, 0, 38, 37, 33, 36, 22, 21, 23, 42, 28, 25}},
    {18, {0, 0, 25, 26, 32, 28, 6, 4, 29, 30, 3, 0, 2, 31, 7, 5, 40, 24, 22, 21, 23, 33, 12, 10, 9, 8, 13, 11}},
    {20, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30}},
};

int ExpectedCode(const std::vector<int>& map, int byte) {
  const bool release = byte > 128;
  const int index = release ? byte - 128 : byte;
  const int code = index < static_cast<int>(map.size()) ? map[static_cast<std::size_t>(index)] : 0;
  return release ? 128 + code : code;
}

// What one key does, in the fixed state below, as a short text: every frame, button, G-code line
// and changed value, in that order.
const std::map<int, std::string> kStandardActions = {
    {2, "jog 0 +"},   {3, "jog 0 -"},   {4, "jog 1 +"},    {5, "jog 1 -"},    {6, "jog 2 +"},    {7, "jog 2 -"},
    {8, "jog 3 +"},   {9, "jog 3 -"},   {10, "jog 4 +"},   {11, "jog 4 -"},   {12, "jog 5 +"},   {13, "jog 5 -"},
    {130, "stop 0"},  {131, "stop 0"},  {132, "stop 1"},   {133, "stop 1"},   {134, "stop 2"},   {135, "stop 2"},
    {136, "stop 3"},  {137, "stop 3"},  {138, "stop 4"},   {139, "stop 4"},   {140, "stop 5"},   {141, "stop 5"},
    {20, "shift"},    {21, "line G0Y0"}, {22, "button 1023"}, {23, "button 1009"}, {24, "shift"},
    {25, "button 1000"}, {26, "button 1001"}, {27, "button 1003"}, {28, "button 1021"}, {29, "jog_mode=1"},
    {30, "button 111"}, {31, "button 112"}, {32, "button 1002"}, {33, "button 110"}, {34, "button 173"},
    {35, "dro 828=0.1"}, {39, "resend"}, {40, "dro 3=10"}, {42, "offset 1=-1000"},
};

class PendantTables : public ::testing::Test {
 protected:
  void SetUp() override {
    state.mpg_src = 0;
    for (auto& v : state.pos_offset) v = 0;
    for (auto& v : state.board_pos) v = 0;
    for (auto& flag : state.softlimit_tripped) flag = false;
    auto& p = host_.planner();
    p.segment_time = 0.003;
    for (int k = 0; k < host::kAxes; ++k) {
      p.steps_per_unit[k] = 1000;
      p.max_velocity[k] = 50;
      host_.engine().axis_enabled[k] = 1;
    }
    host_.setup().jog_rate_percent = 20;
  }
  void TearDown() override {
    state.mpg_src = 0;
    for (auto& v : state.pos_offset) v = 0;
  }

  // The fixed state every action is taken from: plain layer, nothing armed, hand-wheel axis 1.
  void Reset(PendantChannel& ch, std::uint8_t kind) {
    const std::vector<std::uint8_t> announce{1, kind};
    ch.Feed(announce);
    auto& p = host_.planner();
    p.mpg_axis = 1;
    p.mpg_step = 1;
    p.jog_mode = 0;
    p.axis_coord[1] = 2.0;  // halving takes 1000 steps
    state.pos_offset[1] = 0;
    host_.SetDro(828, 0.01);
    host_.SetDro(3, 25);
    host_.SetDro(821, 100);
    host_.SetDro(74, 100);
    std::array<std::uint8_t, kPendantMessageMax> out{};
    ch.Poll(out);  // the display of this state is sent: nothing pending
    link_.Take();
  }

  // Performs `act` on a channel announced as `kind` and describes what it did.
  template <typename Act>
  std::string Effect(std::uint8_t kind, Act act) {
    PendantChannel ch;
    Reset(ch, kind);
    const PendantRecord shown = ch.BuildRecord();
    const std::size_t buttons_before = host_.Buttons().size();
    const std::size_t lines_before = host_.CodeLines().size();
    act(ch);
    std::string text;
    auto add = [&](const std::string& item) { text += (text.empty() ? "" : ", ") + item; };
    for (const testing::Frame& f : link_.Take()) {
      if (f.size() == 8 && f[1] == 0xCB) {
        add("jog " + std::to_string(f[2]) + (f[3] == 0 ? " +" : " -"));
      } else if (f.size() == 3 && f[1] == 0xCC) {
        add("stop " + std::to_string(f[2]));
      } else {
        add("frame " + testing::Hex(f));
      }
    }
    const std::vector<std::int16_t> buttons = host_.Buttons();
    for (std::size_t i = buttons_before; i < buttons.size(); ++i) add("button " + std::to_string(buttons[i]));
    const std::vector<std::string> lines = host_.CodeLines();
    for (std::size_t i = lines_before; i < lines.size(); ++i) add("line " + lines[i]);
    auto number = [](double v) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%g", v);
      return std::string(buf);
    };
    for (auto [dro, before] : {std::pair{828, 0.01}, {3, 25.0}, {821, 100.0}, {74, 100.0}}) {
      const double now = host_.Dro(static_cast<std::int16_t>(dro));
      if (now != before) add("dro " + std::to_string(dro) + "=" + number(now));
    }
    const auto& p = host_.planner();
    if (p.jog_mode != 0) add("jog_mode=" + std::to_string(p.jog_mode));
    if (p.mpg_axis != 1) add("mpg_axis=" + std::to_string(p.mpg_axis));
    if (p.mpg_step != 1) add("mpg_step=" + number(p.mpg_step));
    if (state.pos_offset[1].load() != 0) add("offset 1=" + std::to_string(state.pos_offset[1].load()));
    if (ch.shift()) add("shift");
    if (ch.alt()) add("alt");
    if (ch.arm_a()) add("arm_a");
    if (ch.arm_b()) add("arm_b");
    if (ch.arm_c()) add("arm_c");
    // A display that changed is sent anyway; the resend key shows as a message for an unchanged one.
    std::array<std::uint8_t, kPendantMessageMax> out{};
    if (ch.BuildRecord() == shown && ch.Poll(out) != 0) add("resend");
    return text;
  }

  std::string CodeEffect(std::uint8_t kind, int code) {
    return Effect(kind, [code](PendantChannel& ch) { ch.Key(code); });
  }

  testing::FakeHost host_;
  testing::CapturedLink link_;
};

TEST_F(PendantTables, EveryKeyByteOfEveryKindTranslatesAsItsMapSays) {
  for (const auto& [kind, map] : kExpectedMaps) {
    const PendantKeyMap* actual = PendantKeyMapFor(static_cast<std::uint8_t>(kind));
    ASSERT_NE(actual, nullptr) << "kind " << kind;
    EXPECT_EQ(actual->kind, kind);
    for (int byte = 0; byte < 256; ++byte) {
      EXPECT_EQ(PendantTranslate(*actual, static_cast<std::uint8_t>(byte)), ExpectedCode(map, byte))
          << "kind " << kind << ", key byte " << byte;
    }
  }
  for (int kind = 0; kind < 256; ++kind) {
    if (kExpectedMaps.count(kind) == 0) {
      EXPECT_EQ(PendantKeyMapFor(static_cast<std::uint8_t>(kind)), nullptr) << kind;
    }
  }
}

// The key bytes as a pendant sends them: each press does what its code does, and each release
// stops exactly the axis its press started.
TEST_F(PendantTables, EveryKeyByteFedThroughTheChannelActsAndEveryReleaseStopsItsOwnAxis) {
  for (const auto& [kind, map] : kExpectedMaps) {
    const auto k = static_cast<std::uint8_t>(kind);
    int jog_keys = 0;
    for (int byte = 0; byte < 256; ++byte) {
      const std::vector<std::uint8_t> key{static_cast<std::uint8_t>(byte)};
      const std::string fed = Effect(k, [&](PendantChannel& ch) { ch.Feed(key); });
      EXPECT_EQ(fed, CodeEffect(k, ExpectedCode(map, byte))) << "kind " << kind << ", key byte " << byte;
      if (byte >= 128 || fed.rfind("jog ", 0) != 0) continue;
      ++jog_keys;
      const std::vector<std::uint8_t> release{static_cast<std::uint8_t>(byte + 128)};
      EXPECT_EQ(Effect(k, [&](PendantChannel& ch) { ch.Feed(release); }), "stop " + fed.substr(4, 1))
          << "kind " << kind << ", release of key byte " << byte << " (press: " << fed << ")";
    }
    const std::map<int, int> jog_keys_of_kind = {{17, 3}, {18, 12}, {19, 0}, {20, 12}};
    EXPECT_EQ(jog_keys, jog_keys_of_kind.at(kind)) << "kind " << kind;
  }
}

TEST_F(PendantTables, EveryKeyCodeOfTheStandardKindsDoesWhatItsEntrySays) {
  for (std::uint8_t kind : {std::uint8_t{17}, std::uint8_t{19}}) {
    for (int code = 0; code < 256; ++code) {
      const auto entry = kStandardActions.find(code);
      EXPECT_EQ(CodeEffect(kind, code), entry == kStandardActions.end() ? "" : entry->second)
          << "kind " << int{kind} << ", code " << code;
    }
  }
}

TEST_F(PendantTables, TheZeroKeysOfKind18AndKind20DifferOnlyWhereTheirEntriesSay) {
  std::map<int, std::string> kind18 = kStandardActions;
  kind18[21] = "arm_b";
  kind18[22] = "arm_a";
  kind18[23] = "arm_c";
  std::map<int, std::string> kind20 = kStandardActions;
  kind20.erase(21);
  kind20.erase(22);
  kind20.erase(23);
  for (auto& [kind, table] : std::map<int, std::map<int, std::string>>{{18, kind18}, {20, kind20}}) {
    for (int code = 0; code < 256; ++code) {
      const auto entry = table.find(code);
      EXPECT_EQ(CodeEffect(static_cast<std::uint8_t>(kind), code), entry == table.end() ? "" : entry->second)
          << "kind " << kind << ", code " << code;
    }
  }
}

TEST_F(PendantTables, TheZeroKeysOfTheStandardKindsForEveryHandWheelAxis) {
  const std::array<const char*, 7> lines = {"line G0X0", "line G0Y0", "line G0Z0", "line G0A0",
                                            "line G0B0", "line G0C0", "line G0X0Y0A0B0C0, line G0Z0"};
  const std::array<int, 7> family_a = {1022, 1023, 1024, 1025, 1026, 1027, 105};
  const std::array<int, 7> family_c = {1008, 1009, 1010, 1011, 1012, 1013, 1007};
  for (std::uint8_t kind : {std::uint8_t{17}, std::uint8_t{19}}) {
    for (int axis = 0; axis <= 6; ++axis) {
      auto with_axis = [&](int code) {
        return Effect(kind, [&](PendantChannel& ch) {
          host_.planner().mpg_axis = axis;
          ch.Key(code);
          host_.planner().mpg_axis = 1;  // the description compares with axis 1
        });
      };
      const auto a = static_cast<std::size_t>(axis);
      EXPECT_EQ(with_axis(21), lines[a]) << "kind " << int{kind} << ", axis " << axis;
      EXPECT_EQ(with_axis(22), "button " + std::to_string(family_a[a])) << "kind " << int{kind} << ", axis " << axis;
      EXPECT_EQ(with_axis(23), "button " + std::to_string(family_c[a])) << "kind " << int{kind} << ", axis " << axis;
    }
  }
}

TEST_F(PendantTables, EveryAxisKeyOfKind18UnderEachArmedFamily) {
  const std::array<const char*, 6> zero_lines = {"G0X0", "G0Y0", "G0Z0", "G0A0", "G0B0", "G0C0"};
  for (int axis = 0; axis < 6; ++axis) {
    auto armed = [&](int family_key) {
      return Effect(18, [&](PendantChannel& ch) {
        ch.Key(family_key);
        ch.Key(14 + axis);
      });
    };
    EXPECT_EQ(armed(22), "button " + std::to_string(1022 + axis) + ", arm_a") << "axis " << axis;
    EXPECT_EQ(armed(21), std::string("line ") + zero_lines[static_cast<std::size_t>(axis)] + ", arm_b")
        << "axis " << axis;
    EXPECT_EQ(armed(23), "button " + std::to_string(1008 + axis) + ", arm_c") << "axis " << axis;
    EXPECT_EQ(CodeEffect(18, 14 + axis), "") << "unarmed, axis " << axis;
  }
  // The family key pressed again: its own action, and disarmed.
  auto twice = [&](int family_key) {
    return Effect(18, [&](PendantChannel& ch) {
      ch.Key(family_key);
      ch.Key(family_key);
    });
  };
  EXPECT_EQ(twice(22), "button 105");
  EXPECT_EQ(twice(21), "line G0X0Y0A0B0C0, line G0Z0");
  EXPECT_EQ(twice(23), "button 1007");
}

TEST_F(PendantTables, UpAndDownInEachLayer) {
  auto in_layer = [&](int layer_presses, int code) {
    return Effect(18, [&](PendantChannel& ch) {
      for (int i = 0; i < layer_presses; ++i) ch.Key(24);
      ch.Key(code);
      for (int i = layer_presses; i < 3; ++i) ch.Key(24);  // back to plain for the description
    });
  };
  EXPECT_EQ(in_layer(1, 30), "dro 821=105");
  EXPECT_EQ(in_layer(1, 31), "dro 821=95");
  EXPECT_EQ(in_layer(2, 30), "dro 74=105");
  EXPECT_EQ(in_layer(2, 31), "dro 74=95");
  EXPECT_EQ(in_layer(0, 30), "button 111") << "plain layer, jog mode 0: the jog button";
}

// Step classes of the display record and the step keys, each at its boundary and one value to
// either side of it.
TEST_F(PendantTables, StepClassesAndStepKeysAtTheirBoundaries) {
  PendantChannel ch;
  Reset(ch, 19);
  auto below = [](double v) { return std::nextafter(v, 0.0); };
  auto above = [](double v) { return std::nextafter(v, 1e9); };

  // DRO 828: 0 below 0.0002, 1 below 0.002, 2 below 0.02, 3 below 0.2, else 4.
  const std::array<double, 4> dro_bounds = {0.0002, 0.002, 0.02, 0.2};
  for (std::size_t i = 0; i < dro_bounds.size(); ++i) {
    const double b = dro_bounds[i];
    for (auto [value, expected] : {std::pair{below(b), i}, {b, i + 1}, {above(b), i + 1}}) {
      host_.SetDro(828, value);
      EXPECT_EQ(ch.BuildRecord()[24], expected) << "DRO 828 = " << value;
    }
  }
  // The step key: 0.001 below 0.0002, 0.01 below 0.002, 0.1 below 0.02, 1 below 0.2, else 0.001.
  const std::array<double, 5> next_step = {0.001, 0.01, 0.1, 1.0, 0.001};
  for (std::size_t i = 0; i < dro_bounds.size(); ++i) {
    const double b = dro_bounds[i];
    for (auto [value, expected] : {std::pair{below(b), next_step[i]}, {b, next_step[i + 1]}, {above(b), next_step[i + 1]}}) {
      host_.SetDro(828, value);
      ch.Key(35);
      EXPECT_EQ(host_.Dro(828), expected) << "step key from " << value;
    }
  }

  // Hand-wheel step: 3 above 999.99, 2 above 99.99, 1 above 9.99, else 0.
  const std::array<double, 3> wheel_bounds = {9.99, 99.99, 999.99};
  for (std::size_t i = 0; i < wheel_bounds.size(); ++i) {
    const double b = wheel_bounds[i];
    for (auto [value, expected] : {std::pair{below(b), i}, {b, i}, {above(b), i + 1}}) {
      host_.planner().mpg_step = value;
      const PendantRecord record = ch.BuildRecord();
      EXPECT_EQ(record[38] | record[39] << 8 | record[40] << 16 | record[41] << 24, static_cast<int>(expected))
          << "hand-wheel step " << value;
    }
  }
  // The hand-wheel step key (KV-MPG only): 1 above 99.99, 100 above 9.99, 10 above 0.99, else kept.
  state.mpg_src = 1;
  const std::array<double, 3> key_bounds = {0.99, 9.99, 99.99};
  const std::array<double, 3> key_next = {10.0, 100.0, 1.0};
  for (std::size_t i = 0; i < key_bounds.size(); ++i) {
    const double b = key_bounds[i];
    const double at_or_below = i == 0 ? -1.0 : key_next[i - 1];  // -1: unchanged
    for (auto [value, expected] : {std::pair{below(b), at_or_below}, {b, at_or_below}, {above(b), key_next[i]}}) {
      host_.planner().mpg_step = value;
      ch.Key(36);
      EXPECT_EQ(host_.planner().mpg_step, expected < 0 ? value : expected) << "hand-wheel step key from " << value;
    }
  }
}

}  // namespace
}  // namespace kv
