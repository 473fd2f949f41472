#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

// How a call that can fail answers, in the POSIX, message, property-list and launch layers and in
// the naming rules: what it yields, or a failure with the errno value that says why (0 when no
// system call failed but a rule refused) and, where a caller will log it, a description that
// names what was tried on what. Nothing here logs, and errno is never part of an answer.

// Why a call failed. Converts into a result of any type, so one failure passes up unchanged.
struct failure_t {
    int error = 0;
    std::string description;
};

template <typename T = void>
class result;

// The ways of making an answer, shared by every result type: result<>::failure("...") is a
// failure of whatever type the function returns.
struct result_factories_t {
    static failure_t failure(std::string description) { return {0, std::move(description)}; }
    // Builds no text when given none, so a child between fork and exec may make one.
    static failure_t system_failure(int error) noexcept { return {error, {}}; }
    static failure_t system_failure(int error, std::string description) noexcept {
        return {error, std::move(description)};
    }
};

template <>
class [[nodiscard]] result<void> : public result_factories_t {
  public:
    result() noexcept = default;
    // Implicit, as for every result type: a function returns a failure as it is.
    result(failure_t failed) noexcept : ok_(false), failure_(std::move(failed)) {}
    static result success() noexcept { return {}; }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    // The errno value of a failed system call; 0 on success and for a refusal by rule.
    int error() const { return failure_.error; }
    // Empty on success.
    const std::string& description() const { return failure_.description; }
    // The failure, to pass up to a caller of another result type.
    failure_t as_failure() && { return std::move(failure_); }
    failure_t as_failure() const& { return failure_; }

  private:
    bool ok_ = true;
    failure_t failure_;
};

template <typename T>
class [[nodiscard]] result : public result_factories_t {
    static_assert(!std::is_reference_v<T>, "a result holds its value");

  public:
    // Implicit both: a function returns its value, or a failure, as it is.
    result(T value) : value_(std::move(value)) {}
    result(failure_t failed) noexcept : failure_(std::move(failed)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    int error() const { return failure_.error; }
    const std::string& description() const { return failure_.description; }
    failure_t as_failure() && { return std::move(failure_); }
    failure_t as_failure() const& { return failure_; }

    // The value; only on success (a caller asks ok() first, as of an optional).
    T& value() & { return *value_; }
    const T& value() const& { return *value_; }
    T&& value() && { return std::move(*value_); }
    T& operator*() & { return *value_; }
    const T& operator*() const& { return *value_; }
    T&& operator*() && { return std::move(*value_); }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // The value, or fallback when the call failed, for a caller to whom a failure means nothing.
    T value_or(T fallback) const& { return value_ ? *value_ : std::move(fallback); }
    T value_or(T fallback) && { return value_ ? std::move(*value_) : std::move(fallback); }

  private:
    std::optional<T> value_;
    failure_t failure_;
};
