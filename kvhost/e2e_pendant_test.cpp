// End-to-end pendants: a simulated pendant on the board's channels announces itself, and its
// keys jog the machine, ask the host to zero and change what the pendant's display shows,
// through the real plug-in loaded as the host loads it.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_fixture.h"

namespace kvhost::e2e {
namespace {

constexpr int kCommandMs = 10000;  // generous: a shared two-core machine under sanitizers

class E2ePendant : public E2eTest {};

TEST_F(E2ePendant, PendantKeysMoveAndZeroTheMachine) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_TRUE(board_->AnnouncePendant(0, 18));
  ASSERT_TRUE(WaitUntil([&] { return board_->Pendant(0).displays > 0; }, kCommandMs))
      << "the announced pendant gets its display";
  ASSERT_TRUE(board_->Pendant(0).display);
  EXPECT_EQ(board_->Pendant(0).display->layer, 2);
  EXPECT_EQ(board_->Pendant(0).rejects, 0u);

  // Key byte 12 of kind 18 jogs X towards plus until it is released.
  const std::int32_t x_before = Board().position_steps[0];
  ASSERT_TRUE(board_->PressPendantKey(0, 12));
  ASSERT_TRUE(WaitBoard([&](const kvboard::Stats& s) { return s.velocity_moves >= 1 && s.position_steps[0] > x_before + 50; },
                        kCommandMs))
      << "the pendant's jog key moves X";
  ASSERT_TRUE(board_->ReleasePendantKey(0, 12));
  ASSERT_TRUE(WaitBoard([](const kvboard::Stats& s) { return s.velocity_stops >= 1 && s.mode == 0; }, kCommandMs))
      << "the release stops it; modes " << Modes(Board().modes_reported);
  const std::int32_t x_after = Board().position_steps[0];
  EXPECT_GT(x_after, x_before);
  EXPECT_TRUE(WaitUntil([&] { return HostMatchesBoard(); }, kSettleMs)) << "the host follows the pendant's jog";

  // The zero-line family: armed by one press, the second sends every axis home, Z last.
  ASSERT_TRUE(board_->PressPendantKey(0, 19));
  ASSERT_TRUE(WaitUntil([&] { return board_->Pendant(0).display && board_->Pendant(0).display->armed; }, kCommandMs))
      << "the display shows the armed family";
  ASSERT_TRUE(board_->PressPendantKey(0, 19));
  ASSERT_TRUE(WaitUntil([&] { return machine_.CodeLines().size() >= 2; }, kCommandMs));
  EXPECT_EQ(machine_.CodeLines(), (std::vector<std::string>{"G0X0Y0A0B0C0", "G0Z0"}));

  // A second pendant at once, kind 19 on channel 1. Channel 0 arms the axis-zero family and
  // its second press zeroes every axis; channel 1, with no hand-wheel axis selected, references
  // every axis.
  ASSERT_TRUE(board_->AnnouncePendant(1, 19));
  ASSERT_TRUE(board_->PressPendantKey(0, 20));  // code 23
  ASSERT_TRUE(board_->PressPendantKey(0, 20));
  ASSERT_TRUE(board_->PressPendantKey(1, 6));   // code 22
  // Only the pendants' buttons: the plug-in presses others of its own (e.g. on board reports).
  auto pendant_buttons = [&] {
    std::vector<std::int16_t> buttons = machine_.Buttons();
    std::erase_if(buttons, [](std::int16_t b) { return b != 105 && b != 1007; });
    std::sort(buttons.begin(), buttons.end());  // two channels: either may come first
    return buttons;
  };
  ASSERT_TRUE(WaitUntil([&] { return pendant_buttons().size() >= 2; }, kCommandMs));
  EXPECT_EQ(pendant_buttons(), (std::vector<std::int16_t>{105, 1007}));
  ASSERT_TRUE(WaitUntil([&] { return board_->Pendant(1).displays > 0; }, kCommandMs));
  EXPECT_EQ(board_->Pendant(1).display->wheel_axis, 6);
  EXPECT_EQ(board_->Pendant(1).rejects, 0u);
  EXPECT_FALSE(board_->Pendant(0).display->armed) << "the second press disarmed";
  EXPECT_EQ(Board().position_steps[0], x_after) << "no key since has moved the machine";
}

}  // namespace
}  // namespace kvhost::e2e
