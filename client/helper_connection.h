#pragma once

#include <corvana/result.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "platform/ipc/xpc_message.h"

// One admitted connection to the helper daemon and its raw calls: any selector, any arguments,
// the reply's raw value. The client library's typed calls go through it; tests that speak the
// protocol directly use it alone. Not part of the library's interface, but it answers the
// interface's errors, each kind as <corvana/result.h> says. One thread at a time.
class helper_connection_t {
  public:
    // timeout bounds the whole: the socket's connection and the daemon's word on admission.
    static corvana::result<helper_connection_t> connect(const std::string& socket_path,
                                                        std::chrono::milliseconds timeout);

    // The reply's value. Anything short of a well-formed reply to this call within the time-out
    // leaves the connection unusable, except arguments that can't be sent (nothing was).
    corvana::result<wire_value> call(std::string_view selector, std::vector<wire_value> args,
                                     std::chrono::milliseconds timeout);

    bool usable() const { return !broken_; }

  private:
    explicit helper_connection_t(unique_fd socket) : socket_(std::move(socket)) {}

    unique_fd socket_;
    std::uint64_t next_id_ = 1;
    bool broken_ = false;
};

// The time timeout from now. A time-out past thirty days is taken as thirty days (no one waits
// them out), so that no time-out a caller gives overflows the clock.
std::chrono::steady_clock::time_point deadline_after(std::chrono::milliseconds timeout);

// The socket the daemon serves.
std::string helper_socket_path();
