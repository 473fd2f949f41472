#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "platform/posix/result.h"

// The socket side of the message format: addressing and connecting the service's Unix socket,
// and reading and writing frames on it; shared by the daemon and the client.

// Why a frame was not read, as the error of read_frame's failure; its description says it in
// words.
inline constexpr int k_frame_closed = ENOTCONN;       // the peer closed before the frame began
inline constexpr int k_frame_timeout = ETIMEDOUT;     // a deadline passed
inline constexpr int k_frame_truncated = ECONNRESET;  // the peer went away in the middle
inline constexpr int k_frame_bad_length = EMSGSIZE;   // the length is 0 or over the message limit
// A piece came from another process or user, or carried descriptors.
inline constexpr int k_frame_foreign_sender = EPERM;

// Reads one frame's payload. The first byte must arrive before first_byte_deadline
// (time_point::max() waits for ever); once it has, the rest must follow within rest_timeout.
// With a sender, the socket must pass credentials (SO_PASSCRED) and every piece of the frame must
// have been sent by that process as that user.
result<std::vector<std::uint8_t>> read_frame(
    int fd, std::chrono::steady_clock::time_point first_byte_deadline,
    std::chrono::milliseconds rest_timeout, const ucred* sender = nullptr);

// Writes all bytes; never raises SIGPIPE. A failure when the peer is gone.
result<> send_all(int fd, std::span<const std::uint8_t> bytes);

// The address of a Unix socket at path; a failure when the path does not fit.
result<sockaddr_un> unix_socket_address(const std::string& path);

// A connected stream socket to path (close-on-exec). With a send time-out (more than zero), the
// connect's wait while the listener's queue is full and every later send on the socket give up
// once it has passed, failing with EAGAIN (SO_SNDTIMEO); without one they wait for ever.
result<unique_fd> connect_unix_socket(
    const std::string& path, std::chrono::milliseconds send_timeout = std::chrono::milliseconds{0});

// Bounds every later send on the socket, and a connect still to come, to the time-out (more than
// zero; SO_SNDTIMEO).
result<> bound_sends(int fd, std::chrono::milliseconds send_timeout);
