#pragma once

#include <string>
#include <utility>

// How a call that can fail answers, in the POSIX layer and above it: success, or a failure with
// the errno value that says why (0 when no system call failed but a rule refused) and, where a
// caller will log it, a description that names what was tried on what. A call that yields
// something fills an out-parameter, only on success. Nothing here logs, and errno is never part
// of an answer.
class [[nodiscard]] result_t {
  public:
    static result_t success() { return result_t(true, 0, {}); }
    static result_t failure(std::string description) {
        return result_t(false, 0, std::move(description));
    }
    // Builds no text when given none, so a child between fork and exec may make one.
    static result_t system_failure(int error, std::string description = {}) {
        return result_t(false, error, std::move(description));
    }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    // The errno value of a failed system call; 0 on success and for a refusal by rule.
    int error() const { return error_; }
    // Empty on success.
    const std::string& description() const { return description_; }

  private:
    result_t(bool ok, int error, std::string description)
        : ok_(ok), error_(error), description_(std::move(description)) {}

    bool ok_;
    int error_;
    std::string description_;
};
