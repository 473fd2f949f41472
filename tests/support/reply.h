#pragma once

#include <gtest/gtest.h>

// Reply blocks are callables the requests invoke exactly once.
namespace tests {

// Calls `request` with a reply block and hands back what the block received; fails the test
// unless the block ran exactly once.
template <class Answer, class Request>
Answer answer_of(Request&& request) {
    int calls = 0;
    Answer value{};
    request([&](Answer answer) {
        ++calls;
        value = answer;
    });
    EXPECT_EQ(calls, 1) << "the reply block must run exactly once";
    return value;
}

}  // namespace tests
