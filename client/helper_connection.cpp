#include "client/helper_connection.h"

#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ipc/frame_io.h"

namespace {

using clock_type = std::chrono::steady_clock;
using corvana::error_kind;

constexpr std::string_view k_service_name = "com.quillmark.corvana-cv-5e09b1d4.Helper";

// The helper serves only a client that no other process of its user can reach into: a
// non-dumpable process can't be traced, nor its memory read or written, nor its descriptors
// copied by anyone without CAP_SYS_PTRACE. Done as soon as the library is loaded, to make the
// time after exec in which the client is still reachable as short as it can be, and again
// before each connection in case the program turned it back on.
void keep_other_processes_out() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

[[maybe_unused]] const bool kept_out_at_load = [] {
    keep_other_processes_out();
    return true;
}();

corvana::error failure(error_kind kind, std::string message) {
    return corvana::error{kind, std::move(message)};
}

std::string within(std::chrono::milliseconds timeout) {
    return "within " + std::to_string(timeout.count()) + " ms";
}

// What is left of the time to the deadline; nothing once it has passed.
std::chrono::milliseconds left_until(clock_type::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now());
    return std::max(left, std::chrono::milliseconds{0});
}

// A Unix socket's connect waits while the listener's queue is full, and a send while the peer
// does not read; both give up with EAGAIN once the socket's send time-out has passed.
bool waited_too_long(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

// The helper's first message says the connection was admitted; a client sends nothing before it.
// It closes a connection it does not admit without a word.
std::optional<corvana::error> admission(int socket, clock_type::time_point deadline,
                                        std::chrono::milliseconds timeout) {
    const auto payload = read_frame(socket, deadline, left_until(deadline));
    if (!payload && payload.error() == k_frame_timeout) {
        return failure(error_kind::timed_out,
                       "the helper gave no word on admission " + within(timeout));
    }
    if (payload) {
        const auto reply = decode_reply(*payload);
        if (reply && reply->id == k_admission_reply_id && reply->value == wire_value{true}) {
            return std::nullopt;
        }
    }
    return failure(error_kind::refused,
                   "the helper refused the connection (is this program signed as the helper "
                   "requires?)");
}

}  // namespace

std::chrono::steady_clock::time_point deadline_after(std::chrono::milliseconds timeout) {
    constexpr std::chrono::milliseconds k_longest = std::chrono::hours{24 * 30};
    return clock_type::now() + std::min(timeout, k_longest);
}

std::string helper_socket_path() {
    return service_socket_path(k_service_name);
}

corvana::result<helper_connection_t> helper_connection_t::connect(
    const std::string& socket_path, std::chrono::milliseconds timeout) {
    keep_other_processes_out();
    const auto deadline = deadline_after(timeout);
    if (socket_path.find('\0') != std::string::npos || !unix_socket_address(socket_path)) {
        return failure(error_kind::invalid_argument,
                       "the socket path does not fit a socket address (a NUL byte, or over " +
                           std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes)");
    }
    // A time-out of nothing would leave the socket's waits unbounded.
    const auto left = left_until(deadline);
    if (left.count() == 0) {
        return failure(error_kind::timed_out, "no time left to connect to " + socket_path);
    }
    auto fd = connect_unix_socket(socket_path, left);
    if (!fd) {
        if (waited_too_long(fd.error())) {
            return failure(error_kind::timed_out,
                           socket_path + " took no connection " + within(timeout));
        }
        return failure(error_kind::unreachable, fd.description());
    }
    if (auto refused = admission(fd->get(), deadline, timeout)) {
        return std::move(*refused);
    }
    return helper_connection_t(std::move(*fd));
}

corvana::result<wire_value> helper_connection_t::call(std::string_view selector,
                                                      std::vector<wire_value> args,
                                                      std::chrono::milliseconds timeout) {
    if (broken_) {
        return failure(error_kind::dropped,
                       "an earlier call left the connection unusable; connect again");
    }
    const auto deadline = deadline_after(timeout);
    auto frame = encode_request(wire_request{std::string(selector), next_id_, std::move(args)});
    if (!frame) {
        return failure(error_kind::invalid_argument,
                       "the arguments can't be sent: a text with a NUL byte or that is not "
                       "UTF-8, or a message over " +
                           std::to_string(k_max_message_size / 1024) + " KiB");
    }
    const auto left = left_until(deadline);
    if (left.count() == 0 || !bound_sends(socket_.get(), left)) {
        return failure(error_kind::timed_out, "no time left to send the request");
    }
    const std::uint64_t id = next_id_++;
    // Anything short of a well-formed answer to this call leaves the connection unusable.
    broken_ = true;
    if (const auto sent = send_all(socket_.get(), *frame); !sent) {
        if (waited_too_long(sent.error())) {
            return failure(error_kind::timed_out, "the helper took no request " + within(timeout));
        }
        return failure(error_kind::dropped, "the helper closed the connection");
    }
    const auto payload = read_frame(socket_.get(), deadline, left_until(deadline));
    if (!payload) {
        switch (payload.error()) {
            case k_frame_timeout:
                return failure(error_kind::timed_out,
                               "no reply from the helper " + within(timeout));
            case k_frame_closed:
            case k_frame_truncated:
                return failure(error_kind::dropped,
                               "the helper closed the connection before replying");
            default:
                return failure(error_kind::dropped, "the helper's reply was not a message");
        }
    }
    auto reply = decode_reply(*payload);
    if (!reply) {
        return failure(error_kind::dropped, "the helper's reply could not be read");
    }
    if (reply->id != id) {
        return failure(error_kind::dropped, "the helper replied to another call");
    }
    broken_ = false;
    return std::move(reply->value);
}
