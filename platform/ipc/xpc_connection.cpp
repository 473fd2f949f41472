#include "platform/ipc/xpc_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "platform/ipc/frame_io.h"

namespace {

thread_local xpc_connection_t* t_current_connection = nullptr;

// Names the connection whose call this thread handles, for as long as the handler runs.
class current_call_scope_t {
  public:
    explicit current_call_scope_t(xpc_connection_t* connection) {
        t_current_connection = connection;
    }
    ~current_call_scope_t() { t_current_connection = nullptr; }
    current_call_scope_t(const current_call_scope_t&) = delete;
    current_call_scope_t& operator=(const current_call_scope_t&) = delete;
};

// A client that has started a message must finish it in this time; an idle client may wait for
// as long as it likes between messages.
constexpr std::chrono::milliseconds k_partial_message_timeout{10'000};

}  // namespace

int xpc_interface_t::find(std::string_view selector) const {
    for (std::size_t i = 0; i < methods.size(); ++i) {
        if (methods[i].selector == selector) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

xpc_connection_t* xpc_connection_t::currentConnection() {
    return t_current_connection;
}

xpc_connection_t::xpc_connection_t(unique_fd socket, unique_fd pidfd, audit_token_t token)
    : socket_(std::move(socket)), pidfd_(std::move(pidfd)), token_(token) {
    token_.pidfd = pidfd_.get();
}

xpc_connection_t::~xpc_connection_t() = default;

void xpc_connection_t::setSenderCheck(pid_t pid, uid_t uid, std::function<bool()> same_code) {
    sender_ = ucred{pid, uid, 0};
    same_code_ = std::move(same_code);
}

bool xpc_connection_t::peerGone() const {
    // A pidfd is readable once its process has ended; the socket reports the peer's hang-up.
    pollfd fds[2] = {{socket_.get(), POLLRDHUP, 0}, {pidfd_.get(), POLLIN, 0}};
    if (::poll(fds, pidfd_ ? 2 : 1, 0) <= 0) {
        return false;
    }
    return (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0 || fds[1].revents != 0;
}

result<> xpc_connection_t::confirmAdmission() {
    std::uint8_t byte = 0;
    ssize_t waiting = ::recv(socket_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (waiting != -1) {
        return result<>::failure("bytes were sent before admission ended");
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return result<>::system_failure(errno, "the connection can't be read");
    }
    auto frame = encode_reply(wire_reply{k_admission_reply_id, wire_value{true}});
    if (!frame) {
        return std::move(frame).as_failure();
    }
    return send_frame(*frame);
}

result<> xpc_connection_t::send_frame(const std::vector<std::uint8_t>& frame) {
    std::lock_guard guard(write_lock_);
    return send_all(socket_.get(), frame);
}

void xpc_connection_t::report(const std::string& reason) {
    if (protocol_error_) {
        protocol_error_(reason);
    }
}

void xpc_connection_t::resume() {
    while (!invalidated_.load()) {
        auto payload = read_frame(socket_.get(), std::chrono::steady_clock::time_point::max(),
                                  k_partial_message_timeout, sender_ ? &*sender_ : nullptr);
        if (!payload && payload.error() == k_frame_closed) {
            break;
        }
        if (!payload) {
            if (!invalidated_.load()) {
                report(payload.description());
            }
            break;
        }
        // The message is whole: whoever sent its pieces, the process sent them while it ran
        // the admitted image only if it still runs it now.
        if (same_code_ && !same_code_()) {
            if (!invalidated_.load()) {
                report("message sent after the admitted process executed another program");
            }
            break;
        }
        auto decoded = decode_request(*payload);
        if (!decoded) {
            report(decoded.description());
            break;
        }
        auto& request = *decoded;
        // The admission's word carries this id: a reply to a request that used it would read as
        // that word.
        if (request.id == k_admission_reply_id) {
            report("request id " + std::to_string(request.id) + " is reserved");
            break;
        }
        int index = interface_ == nullptr ? -1 : interface_->find(request.selector);
        if (index < 0 || !object_) {
            report("unknown selector " + request.selector);
            break;
        }
        const method_signature_t& method = interface_->methods[static_cast<std::size_t>(index)];
        if (request.args.size() != method.arguments.size()) {
            report(std::string(method.selector) + " takes " +
                   std::to_string(method.arguments.size()) + " arguments, got " +
                   std::to_string(request.args.size()));
            break;
        }
        std::string type_error;
        for (std::size_t i = 0; i < method.arguments.size() && type_error.empty(); ++i) {
            wire_kind kind = method.arguments[i];
            bool object = kind == wire_kind::data || kind == wire_kind::text;
            bool nil = std::holds_alternative<wire_nil>(request.args[i]);
            if (!(object && nil) && !wire_value_has_kind(request.args[i], kind)) {
                type_error = std::string(method.selector) + " argument " + std::to_string(i + 1) +
                             " must be " + wire_kind_name(kind);
            }
        }
        if (!type_error.empty()) {
            report(type_error);
            break;
        }

        auto answered = std::make_shared<std::atomic<bool>>(false);
        current_call_scope_t call(this);
        std::weak_ptr<xpc_connection_t> weak = weak_from_this();
        std::uint64_t id = request.id;
        object_(static_cast<std::size_t>(index), std::move(request.args),
                [weak, id, answered](wire_value value) {
                    if (answered->exchange(true)) {
                        return;  // a reply block answers once
                    }
                    auto self = weak.lock();
                    if (!self) {
                        return;
                    }
                    auto frame = encode_reply(wire_reply{id, std::move(value)});
                    if (frame) {
                        (void)self->send_frame(*frame);
                    }
                });
    }
    invalidate();
    if (invalidation_) {
        auto handler = std::move(invalidation_);
        invalidation_ = nullptr;
        handler();
    }
}

void xpc_connection_t::invalidate() {
    if (!invalidated_.exchange(true)) {
        // Wakes the connection's thread if it waits for the next message.
        ::shutdown(socket_.get(), SHUT_RDWR);
    }
}
