#include "platform/ipc/frame_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ipc/xpc_message.h"

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

// Takes what is waiting on the socket without blocking, as recv does. With a sender, each piece
// must carry the kernel's credentials of exactly that process and user: the kernel never joins
// the bytes of different writers in one read, so every byte is accounted for. A piece that
// carries descriptors is refused as well (and the descriptors closed): no message has any.
struct receiver_t {
    int fd;
    const ucred* sender;
    bool refused = false;

    ssize_t take(std::uint8_t* out, std::size_t size) {
        if (sender == nullptr) {
            return ::recv(fd, out, size, MSG_DONTWAIT);
        }
        iovec vector{out, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(8 * sizeof(int))];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n <= 0) {
            return n;
        }
        bool from_sender = false;
        bool clean = (message.msg_flags & MSG_CTRUNC) == 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                clean = false;
            } else if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
                ucred credentials{};
                std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
                from_sender = credentials.pid == sender->pid && credentials.uid == sender->uid;
            } else if (c->cmsg_type == SCM_RIGHTS) {
                std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < count; ++i) {
                    int passed = -1;
                    std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                    ::close(passed);
                }
                clean = false;
            } else {
                clean = false;
            }
        }
        if (!from_sender || !clean) {
            refused = true;
            errno = EPERM;
            return -1;
        }
        return n;
    }
};

// Reads exactly size bytes by the deadline. Data already waiting is taken without a poll, so a
// frame that has arrived whole costs one read per piece.
fill read_exactly(receiver_t& in, std::uint8_t* out, std::size_t size,
                  clock_type::time_point deadline) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = in.take(out + got, size - got);
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
        if (fill waited = wait_readable(in.fd, deadline); waited != fill::done) {
            return waited;
        }
    }
    return fill::done;
}

failure_t closed() {
    return result<>::system_failure(k_frame_closed, "connection closed");
}

failure_t timed_out() {
    return result<>::system_failure(k_frame_timeout, "message not completed in time");
}

failure_t truncated() {
    return result<>::system_failure(k_frame_truncated, "truncated message");
}

failure_t foreign_sender() {
    return result<>::system_failure(k_frame_foreign_sender,
                                    "message sent by another process than the admitted one");
}

}  // namespace

result<std::vector<std::uint8_t>> read_frame(int fd, clock_type::time_point first_byte_deadline,
                                             std::chrono::milliseconds rest_timeout,
                                             const ucred* sender) {
    receiver_t in{fd, sender};
    auto refused_or = [&in](failure_t otherwise) {
        return in.refused ? foreign_sender() : std::move(otherwise);
    };
    // The first byte may take as long as first_byte_deadline allows; the whole header usually
    // comes with it in one read, and data already waiting is taken without a poll.
    std::uint8_t header[4];
    std::size_t got = 0;
    for (;;) {
        ssize_t n = in.take(header, sizeof header);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            break;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return refused_or(closed());
        }
        if (errno == EINTR) {
            continue;
        }
        if (fill waited = wait_readable(fd, first_byte_deadline); waited != fill::done) {
            return waited == fill::timeout ? timed_out() : closed();
        }
    }
    // The earlier of the two limits: a slow sender can't stretch a caller's deadline.
    auto deadline = std::min(first_byte_deadline, clock_type::now() + rest_timeout);
    auto rest = [&refused_or](fill result) {
        return refused_or(result == fill::timeout ? timed_out() : truncated());
    };
    if (fill more = read_exactly(in, header + got, sizeof header - got, deadline);
        more != fill::done) {
        return rest(more);
    }
    std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                         (std::size_t{header[2]} << 8) | std::size_t{header[3]};
    if (length == 0 || length > k_max_message_size) {
        return result<>::system_failure(
            k_frame_bad_length, "message length " + std::to_string(length) + " out of bounds");
    }
    std::vector<std::uint8_t> payload(length);
    if (fill body = read_exactly(in, payload.data(), length, deadline); body != fill::done) {
        return rest(body);
    }
    return payload;
}

result<> send_all(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return result<>::system_failure(errno);
        }
        sent += static_cast<std::size_t>(n);
    }
    return result<>::success();
}

result<sockaddr_un> unix_socket_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return result<>::system_failure(ENAMETOOLONG, "socket path too long");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

result<> bound_sends(int fd, std::chrono::milliseconds send_timeout) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(send_timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(send_timeout.count() % 1000 * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        return result<>::system_failure(errno);
    }
    return result<>::success();
}

result<unique_fd> connect_unix_socket(const std::string& path,
                                      std::chrono::milliseconds send_timeout) {
    auto address = unix_socket_address(path);
    if (!address) {
        return std::move(address).as_failure();
    }
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && (send_timeout.count() <= 0 || bound_sends(fd.get(), send_timeout)) &&
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
        return fd;
    }
    const int error = errno;
    return result<>::system_failure(error,
                                    "cannot connect to " + path + ": " + std::strerror(error));
}
