#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "base/unique_fd.h"
#include "platform/ipc/xpc_message.h"

// A stand-in for the daemon on a socket of the test's own, speaking the message format: for the
// client library's contract tests, which must make every way a call can fail happen on purpose.
namespace tests {

enum class admission { admit, refuse, never };

// A socket path in a directory of the test's own, removed with it.
class socket_directory {
  public:
    socket_directory();
    ~socket_directory();
    socket_directory(const socket_directory&) = delete;
    socket_directory& operator=(const socket_directory&) = delete;

    std::string socket_path() const { return directory_ + "/socket"; }

  private:
    std::string directory_;
};

// A stream socket listening at path, with a queue of 4; aborts when it can't be made.
unique_fd listening_socket(const std::string& path);

// Sends one reply frame; a client that has gone is no error here.
void send_reply(int fd, std::uint64_t id, wire_value value);

// Takes one client, admits it or not, then hands each of its requests to `answer`, which replies
// or not, until the client goes.
class stand_in_daemon {
  public:
    explicit stand_in_daemon(std::function<void(int fd, const wire_request&)> answer,
                             admission admits = admission::admit);
    ~stand_in_daemon();
    stand_in_daemon(const stand_in_daemon&) = delete;
    stand_in_daemon& operator=(const stand_in_daemon&) = delete;

    std::string path() const { return directory_.socket_path(); }
    // How many requests reached the daemon.
    int requests() const { return requests_; }

  private:
    socket_directory directory_;
    unique_fd listener_;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace tests
