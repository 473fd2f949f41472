#pragma once

#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvana {

// Why a call to the helper has no answer. Each call's comment in <corvana/helper_client.h> says
// which of these it can answer; what each means is the same for all.
enum class error_kind {
    // The daemon closed the connection without admitting it (or sent something other than its
    // admission): this program's code signature does not satisfy the daemon's requirement, the
    // process is traced or can be reached into by another process, or the daemon already serves
    // as many connections as it takes. Answered by connect only.
    refused,
    // Nothing serves the socket: no such file, not a socket, no permission to it, or nobody
    // listening; or this process could not make a socket (out of descriptors, say). Answered by
    // connect only.
    unreachable,
    // The time-out passed: while the daemon's queue of connections stayed full or before its
    // word on admission (connect), or before the reply (a call). A call also times out when another
    // thread's call on the same client holds it for
    // the whole time-out; that call sent nothing, and the client stays usable. A call whose
    // request had been sent leaves the client unusable: a late reply would be out of step.
    timed_out,
    // The connection is gone: the daemon closed it before replying (it drops a connection whose
    // message it refuses), or answered out of step (a reply to another call, of another kind
    // than the call's, or not a reply at all). Also every call on a client that an earlier
    // timed_out or dropped left unusable, and every call on a moved-from client. Connect a new
    // client.
    dropped,
    // Nothing was sent, because it could not be: a text with a NUL byte or that is not UTF-8, a
    // message over the 64 KiB limit, a socket path that does not fit a socket address. The
    // client stays usable.
    invalid_argument,
};

// The kind's name as written above, for log lines ("timed_out").
constexpr const char* to_string(error_kind kind) noexcept {
    switch (kind) {
        case error_kind::refused:
            return "refused";
        case error_kind::unreachable:
            return "unreachable";
        case error_kind::timed_out:
            return "timed_out";
        case error_kind::dropped:
            return "dropped";
        case error_kind::invalid_argument:
            return "invalid_argument";
    }
    return "unknown";
}

struct error {
    error_kind kind;
    // One line for a person, naming what failed and why ("no reply from the helper within
    // 120000 ms"); its wording is not an interface.
    std::string message;
};

// Thrown by result<T>::value() when there is no value, carrying the error.
class bad_result_access : public std::exception {
  public:
    explicit bad_result_access(corvana::error error) : error_(std::move(error)) {}
    const char* what() const noexcept override { return error_.message.c_str(); }
    const corvana::error& error() const noexcept { return error_; }

  private:
    corvana::error error_;
};

// A call's answer: its value, or the error that kept it from one. Shaped as C++23's
// std::expected<T, corvana::error>, which it can give way to.
template <class T>
class [[nodiscard]] result {
  public:
    using value_type = T;

    result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    result(corvana::error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    // The value; throws bad_result_access when there is none.
    T& value() & { return checked(*this); }
    const T& value() const& { return checked(*this); }
    T&& value() && { return std::move(checked(*this)); }

    // Unchecked: only when has_value().
    T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    const T* operator->() const noexcept { return std::get_if<0>(&state_); }

    template <class U>
    T value_or(U&& fallback) const& {
        return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
    }
    template <class U>
    T value_or(U&& fallback) && {
        return has_value() ? std::move(**this) : static_cast<T>(std::forward<U>(fallback));
    }

    // The error; only when !has_value().
    const corvana::error& error() const& noexcept { return *std::get_if<1>(&state_); }
    corvana::error&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

  private:
    template <class Self>
    static auto& checked(Self& self) {
        if (!self.has_value()) {
            throw bad_result_access(self.error());
        }
        return *self;
    }

    std::variant<T, corvana::error> state_;
};

}  // namespace corvana
