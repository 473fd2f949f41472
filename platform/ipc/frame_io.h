#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"

// The socket side of the message format: addressing and connecting the service's Unix socket,
// and reading and writing frames on it; shared by the daemon and the client.

enum class frame_read {
    frame,           // a whole frame was read
    closed,          // the peer closed before the frame began
    timeout,         // a deadline passed
    truncated,       // the peer went away in the middle of a frame
    bad_length,      // the length prefix is 0 or over the message limit
    foreign_sender,  // a piece came from another process or user, or carried descriptors
};

// Reads one frame's payload. The first byte must arrive before first_byte_deadline
// (time_point::max() waits for ever); once it has, the rest must follow within rest_timeout.
// With a sender, the socket must pass credentials (SO_PASSCRED) and every piece of the frame must
// have been sent by that process as that user.
frame_read read_frame(int fd, std::vector<std::uint8_t>& payload,
                      std::chrono::steady_clock::time_point first_byte_deadline,
                      std::chrono::milliseconds rest_timeout, std::size_t* bad_length = nullptr,
                      const ucred* sender = nullptr);

// Writes all bytes; never raises SIGPIPE. False when the peer is gone.
bool send_all(int fd, std::span<const std::uint8_t> bytes);

// The address of a Unix socket at path; nothing when the path does not fit.
std::optional<sockaddr_un> unix_socket_address(const std::string& path);

// A connected stream socket to path (close-on-exec), or an invalid descriptor; error, when given,
// then says why.
unique_fd connect_unix_socket(const std::string& path, std::string* error = nullptr);
