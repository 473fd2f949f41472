#pragma once

namespace tests {

// True inside the throwaway root built by tests/sandbox/run-in-sandbox.sh.
bool inside_sandbox();

// Aborts the test program with a clear message when it is not inside the sandbox. Everything
// that writes a fixed system path or runs a system tool calls this first.
void require_sandbox();

}  // namespace tests
