#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace tests {

// Holds a test of a time-out to a bound of its own: body runs in a child process (a fork of the
// test), in a process group of its own, and the answer is success when it returns true and the
// child ends within limit. A child still running then is killed with its group (whatever body
// started included), so a time-out that is ignored makes its test fail at once rather than hang
// until the test runner's limit. A failure recorded inside body does not reach the test: body
// says what went wrong on standard error and returns false.
testing::AssertionResult finishes_within(std::chrono::milliseconds limit,
                                         const std::function<bool()>& body);

}  // namespace tests
