// The loopback-only guard of every test binary that loads the plug-in. Linking
// loopback_test_guard.cpp in switches the platform's guard on before the first test and fails any
// test during which a send or connect beyond loopback was refused or a session was started
// without loopback endpoints; whatever happens outside a test fails the binary at its end.
#pragma once

namespace kvhost::testing_guard {

// For a test that provokes a refusal on purpose: what was refused so far does not fail it.
void AcknowledgeRefusals();
// For a test that leaves the plug-in's discovery thread sending to its default destination
// (refused every 200 ms until the process ends): nothing refused from now on fails the process.
void ExpectRefusalsUntilExit();

}  // namespace kvhost::testing_guard
