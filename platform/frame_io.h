#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Reading and writing the frames of the message format on a stream socket; shared by the daemon's
// connections and the client.

enum class frame_read {
    frame,       // a whole frame was read
    closed,      // the peer closed before the frame began
    timeout,     // a deadline passed
    truncated,   // the peer went away in the middle of a frame
    bad_length,  // the length prefix is 0 or over the message limit
};

// Reads one frame's payload. The first byte must arrive before first_byte_deadline
// (time_point::max() waits for ever); once it has, the rest must follow within rest_timeout.
frame_read read_frame(int fd, std::vector<std::uint8_t>& payload,
                      std::chrono::steady_clock::time_point first_byte_deadline,
                      std::chrono::milliseconds rest_timeout, std::size_t* bad_length = nullptr);

// Writes all bytes; never raises SIGPIPE. False when the peer is gone.
bool send_all(int fd, std::span<const std::uint8_t> bytes);
