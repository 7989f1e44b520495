// The application object's start-up and the COM server functions' codes.
#include "shell/library_load.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/message_box.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

std::vector<std::string> calls;

bool SocketsUp() { return true; }
bool SocketsDown() { return false; }
bool StepOk(bool reg) {
  calls.push_back(reg ? "register" : "unregister");
  return true;
}
bool StepFails(bool) {
  calls.push_back("failed");
  return false;
}

class LibraryLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    platform::SetMessageBoxHandler([this](std::string_view text, std::string_view caption) {
      boxes_.push_back(std::string(caption) + "|" + std::string(text));
    });
  }
  void TearDown() override { platform::SetMessageBoxHandler(nullptr); }
  std::vector<std::string> boxes_;
};

TEST_F(LibraryLoadTest, SocketsThatStartLoadTheLibraryWithoutABox) {
  EXPECT_TRUE(ApplicationStartUp(SocketsUp));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(LibraryLoadTest, SocketsThatFailShowTheBoxAndRefuseTheLoad) {
  EXPECT_FALSE(ApplicationStartUp(SocketsDown));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].find("|Sockets Init Failed"), std::string::npos) << boxes_[0];
}

TEST_F(LibraryLoadTest, RegistrationRunsTypeLibraryThenClassesAndNamesTheFailingStep) {
  EXPECT_EQ(ComRegisterServer({StepOk, StepOk}), 0u);
  EXPECT_EQ(calls, (std::vector<std::string>{"register", "register"}));
  calls.clear();
  EXPECT_EQ(ComRegisterServer({StepFails, StepOk}), 0x80040200u) << "SELFREG_E_TYPELIB";
  EXPECT_EQ(calls, (std::vector<std::string>{"failed"})) << "no class step after a failed type library";
  EXPECT_EQ(ComRegisterServer({StepOk, StepFails}), 0x80040201u) << "SELFREG_E_CLASS";
  EXPECT_EQ(ComUnregisterServer({StepOk, StepOk}), 0u);
  EXPECT_EQ(ComUnregisterServer({StepFails, StepOk}), 0x80040200u);
  EXPECT_EQ(ComUnregisterServer({StepOk, StepFails}), 0x80040201u);
  EXPECT_EQ(ComRegisterServer(LibraryComRegistration()), 0u);
  EXPECT_EQ(ComUnregisterServer(LibraryComRegistration()), 0u);
}

TEST_F(LibraryLoadTest, NoClassObjectAndNoUnloadOnceTheLinkThreadsRun) {
  void* object = &object;
  EXPECT_EQ(ComGetClassObject(&object), 0x80040111u);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ComGetClassObject(nullptr), 0x80004003u);

  const PluginPhase before = state.phase.load();
  state.phase = PluginPhase::kNamed;
  EXPECT_EQ(ComCanUnloadNow(), 0u);
  state.phase = PluginPhase::kInitialised;
  EXPECT_EQ(ComCanUnloadNow(), 1u);
  state.phase = PluginPhase::kStopped;
  EXPECT_EQ(ComCanUnloadNow(), 1u) << "the link threads outlive StopPlug";
  state.phase = before;
}

}  // namespace
}  // namespace kv
