// The four diagnostic channels as the host sees them: boxes and the status line.
#include "runtime/diagnostics.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/system_error.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    planner_ = std::make_unique<host::PlannerBlock>();
    state.planner = planner_.get();
    DiagInit();
    platform::SetMessageBoxHandler([this](std::string_view text, std::string_view caption) {
      boxes_.push_back(std::string(caption) + "|" + std::string(text));
    });
  }
  void TearDown() override {
    platform::SetMessageBoxHandler(nullptr);
    state.planner = nullptr;
  }
  std::string Status() const { return host::HostStringRead(planner_->status_text); }

  std::unique_ptr<host::PlannerBlock> planner_;
  std::vector<std::string> boxes_;
};

TEST_F(DiagnosticsTest, ErrorChannelShowsABoxOnlyForHashTexts) {
  error_printf("Listen failed");
  error_printf("accept, error !");
  EXPECT_TRUE(boxes_.empty());
  error_printf("#board %s lost", "X1");
  EXPECT_EQ(boxes_, (std::vector<std::string>{"serious|#board X1 lost"}));
  EXPECT_EQ(Status(), "") << "the error channel leaves the status line alone";
}

TEST_F(DiagnosticsTest, StatusChannelReplacesTheStatusLine) {
  status_printf("first line that is rather long");
  status_printf("queue %d", 42);
  EXPECT_EQ(Status(), "queue 42");
  std::string long_text(400, 'x');
  status_printf("%s", long_text.c_str());
  EXPECT_EQ(Status().size(), 255u) << "a formatted text is cut at 255 characters";
}

TEST_F(DiagnosticsTest, TraceHasNoVisibleEffect) {
  status_printf("kept");
  trace_printf("accept, done !");
  EXPECT_EQ(Status(), "kept");
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(DiagnosticsTest, SyserrShowsTheSystemTextWhateverTheCallerPassed) {
  platform::SetLastErrorCode(32);
  syserr_printf("socket");
  EXPECT_EQ(Status(), platform::ErrorText(32));
  EXPECT_NE(Status(), "socket");
}

}  // namespace
}  // namespace kv
