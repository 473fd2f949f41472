#include "platform/frame_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/xpc_message.h"

namespace {

using clock_type = std::chrono::steady_clock;

enum class fill { done, closed, timeout, error };

// Waits until fd is readable or the deadline passes.
fill wait_readable(int fd, clock_type::time_point deadline) {
    for (;;) {
        int wait = -1;
        if (deadline != clock_type::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now());
            if (left.count() <= 0) {
                return fill::timeout;
            }
            wait = static_cast<int>(std::min<long long>(left.count(), 1'000'000'000));
        }
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, wait);
        if (ready > 0) {
            return fill::done;
        }
        if (ready < 0 && errno != EINTR) {
            return fill::error;
        }
    }
}

// Reads exactly size bytes by the deadline. Data already waiting is taken without a poll, so a
// frame that has arrived whole costs one read per piece.
fill read_exactly(int fd, std::uint8_t* out, std::size_t size, clock_type::time_point deadline) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, out + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            return got == 0 ? fill::closed : fill::error;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return got == 0 ? fill::closed : fill::error;
        }
        if (fill waited = wait_readable(fd, deadline); waited != fill::done) {
            return waited;
        }
    }
    return fill::done;
}

}  // namespace

frame_read read_frame(int fd, std::vector<std::uint8_t>& payload,
                      clock_type::time_point first_byte_deadline,
                      std::chrono::milliseconds rest_timeout, std::size_t* bad_length) {
    // The first byte may take as long as first_byte_deadline allows; the whole header usually
    // comes with it in one read, and data already waiting is taken without a poll.
    std::uint8_t header[4];
    std::size_t got = 0;
    for (;;) {
        ssize_t n = ::recv(fd, header, sizeof header, MSG_DONTWAIT);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            break;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return frame_read::closed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (fill waited = wait_readable(fd, first_byte_deadline); waited != fill::done) {
            return waited == fill::timeout ? frame_read::timeout : frame_read::closed;
        }
    }
    auto deadline = std::min(first_byte_deadline, clock_type::now() + rest_timeout);
    auto rest = [](fill result) {
        return result == fill::timeout ? frame_read::timeout : frame_read::truncated;
    };
    if (fill more = read_exactly(fd, header + got, sizeof header - got, deadline);
        more != fill::done) {
        return rest(more);
    }
    std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                         (std::size_t{header[2]} << 8) | std::size_t{header[3]};
    if (length == 0 || length > k_max_message_size) {
        if (bad_length != nullptr) {
            *bad_length = length;
        }
        return frame_read::bad_length;
    }
    payload.resize(length);
    if (fill body = read_exactly(fd, payload.data(), length, deadline); body != fill::done) {
        return rest(body);
    }
    return frame_read::frame;
}

bool send_all(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<sockaddr_un> unix_socket_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

unique_fd connect_unix_socket(const std::string& path, std::string* error) {
    auto address = unix_socket_address(path);
    if (!address) {
        if (error != nullptr) {
            *error = "socket path too long";
        }
        return unique_fd();
    }
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd &&
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
        return fd;
    }
    if (error != nullptr) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
    }
    return unique_fd();
}
