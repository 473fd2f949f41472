#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc/xpc_message.h"
#include "platform/posix/unique_fd.h"

// One admitted connection to the helper daemon and its raw calls: any selector, any arguments,
// the reply's raw value. The client library's typed calls go through it; tests that speak the
// protocol directly use it alone. Not part of the library's interface.
class helper_connection_t {
  public:
    // Nothing when the socket can't be reached or the daemon does not admit the connection
    // within timeout; error then says why.
    static std::optional<helper_connection_t> connect(const std::string& socket_path,
                                                      std::string& error,
                                                      std::chrono::milliseconds timeout);

    // The reply's value, or nothing when the arguments can't be sent, the connection is gone,
    // no reply came within the time-out or the reply answers another call. After nothing, the
    // connection stays unusable.
    // at_least: a longer time-out for this call than the connection's own.
    std::optional<wire_value> call(std::string_view selector, std::vector<wire_value> args,
                                   std::chrono::milliseconds at_least = {});

  private:
    helper_connection_t(unique_fd socket, std::chrono::milliseconds timeout)
        : socket_(std::move(socket)), timeout_(timeout) {}

    unique_fd socket_;
    std::chrono::milliseconds timeout_;
    std::uint64_t next_id_ = 1;
    bool broken_ = false;
};

// The socket the daemon serves.
std::string helper_socket_path();
