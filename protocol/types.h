#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the remote protocol carries. An object argument may be nil, so texts and data are
// optional; BOOL and int are plain values.
using ns_string = std::optional<std::string>;
using ns_data = std::optional<std::vector<std::uint8_t>>;

// A reply block: called exactly once per remote call.
template <class T>
using reply_t = std::function<void(T)>;

// The error object of a failed authorization check.
struct ns_error {
    std::string domain;  // "NSOSStatusErrorDomain"
    long code;

    // As the platform formats an error with "%@".
    std::string description() const {
        return "The operation couldn\u2019t be completed. (OSStatus error " + std::to_string(code) +
               ".)";
    }
};
