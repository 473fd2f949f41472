#pragma once

#include <string>

namespace tests {

// True inside the throwaway root built by tests/sandbox/run-in-sandbox.sh.
bool inside_sandbox();

// Aborts the test program with a clear message when it is not inside the sandbox. Everything
// that writes a fixed system path or runs a system tool calls this first.
void require_sandbox();

// A local user of that name, with a group of its own, no home and no login shell, made unless
// the sandbox has one; true when there is one. Only inside the sandbox.
bool ensure_user(const std::string& name);

}  // namespace tests
