// Switches the loopback-only guard on in a test binary and fails the test that trips it.
// Registered at static initialisation, so it works with gtest's own main.
#include "loopback_test_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "host_session.h"
#include "platform/hid_sim.h"
#include "platform/socket.h"

namespace kvhost::testing_guard {
namespace {

// Refusals seen by the guard and by the session, taken together.
struct Counts {
  std::uint64_t sends = 0;
  std::uint64_t startups = 0;
  bool operator==(const Counts&) const = default;
};

Counts Now() { return {platform::LoopbackViolations(), HostSession::RefusedStartUps()}; }

std::string Describe(const Counts& from, const Counts& to) {
  std::string text;
  if (to.sends != from.sends) {
    const platform::Ipv4Endpoint last = platform::LastLoopbackViolation();
    text += std::to_string(to.sends - from.sends) + " send(s) or connect(s) beyond loopback refused, the last to " +
            platform::FormatIpv4(last.address) + ":" + std::to_string(last.port);
  }
  if (to.startups != from.startups) {
    text += std::string(text.empty() ? "" : "; ") + std::to_string(to.startups - from.startups) +
            " plug-in start-up(s) refused: set loopback endpoints (HostSession::SetEndpoints) before StartUp";
  }
  return text;
}

Counts accepted;                      // refusals that fail nothing (acknowledged)
std::atomic<bool> until_exit{false};  // a test let the plug-in's discovery run against the guard

class Check : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { accepted = Now(); }
  // Runs before the result printer (listeners hear a test's end in reverse order), so the
  // test is reported as failed.
  void OnTestEnd(const ::testing::TestInfo&) override {
    const Counts now = Now();
    if (!until_exit.load() && !(now == accepted)) ADD_FAILURE() << "loopback-only guard: " << Describe(accepted, now);
    accepted = now;
  }
};

class Environment : public ::testing::Environment {
  void SetUp() override {
    platform::SetLoopbackOnly(true);
    accepted = Now();
  }
  void TearDown() override {
    const Counts now = Now();
    if (!until_exit.load() && !(now == accepted)) {
      ADD_FAILURE() << "loopback-only guard, outside any test: " << Describe(accepted, now);
    }
  }
};

// Before main, so the guard is on before any test can start the plug-in.
[[maybe_unused]] const bool registered = [] {
  platform::SetLoopbackOnly(true);
  platform::InstallSimHidBackend();  // the plug-in's USB link finds only simulated devices
  ::testing::AddGlobalTestEnvironment(new Environment);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Check);
  return true;
}();

}  // namespace

void AcknowledgeRefusals() { accepted = Now(); }
void ExpectRefusalsUntilExit() { until_exit.store(true); }

}  // namespace kvhost::testing_guard
