#include "platform/xpc_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace {

// A client that has started a message must finish it in this time; an idle client may wait for
// as long as it likes between messages.
constexpr int k_partial_message_timeout_ms = 10'000;

// Reads exactly size bytes. started tells whether part of a message was read already.
enum class fill { done, closed, timeout, error };

fill read_exactly(int fd, std::uint8_t* out, std::size_t size, bool started) {
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        int timeout = (started || got > 0) ? k_partial_message_timeout_ms : -1;
        int ready = ::poll(&p, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fill::error;
        }
        if (ready == 0) {
            return fill::timeout;
        }
        ssize_t n = ::recv(fd, out + got, size - got, 0);
        if (n == 0) {
            return (started || got > 0) ? fill::error : fill::closed;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return (started || got > 0) ? fill::error : fill::closed;
        }
        got += static_cast<std::size_t>(n);
    }
    return fill::done;
}

}  // namespace

int xpc_interface_t::find(std::string_view selector) const {
    for (std::size_t i = 0; i < methods.size(); ++i) {
        if (methods[i].selector == selector) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

xpc_connection_t::xpc_connection_t(unique_fd socket, unique_fd pidfd, audit_token_t token)
    : socket_(std::move(socket)), pidfd_(std::move(pidfd)), token_(token) {
    token_.pidfd = pidfd_.get();
}

xpc_connection_t::~xpc_connection_t() = default;

xpc_connection_t::read_result xpc_connection_t::read_frame(std::vector<std::uint8_t>& payload,
                                                           std::string& reason) {
    std::uint8_t header[4];
    switch (read_exactly(socket_.get(), header, sizeof header, false)) {
        case fill::done:
            break;
        case fill::closed:
            return read_result::closed;
        case fill::timeout:
            reason = "message not completed in time";
            return read_result::error;
        case fill::error:
            reason = "truncated message";
            return read_result::error;
    }
    std::size_t length = (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) |
                         (std::size_t{header[2]} << 8) | std::size_t{header[3]};
    if (length == 0 || length > k_max_message_size) {
        reason = "message length " + std::to_string(length) + " out of bounds";
        return read_result::error;
    }
    payload.resize(length);
    switch (read_exactly(socket_.get(), payload.data(), length, true)) {
        case fill::done:
            return read_result::frame;
        case fill::timeout:
            reason = "message not completed in time";
            return read_result::error;
        case fill::closed:
        case fill::error:
            reason = "truncated message";
            return read_result::error;
    }
    return read_result::error;
}

bool xpc_connection_t::send_frame(const std::vector<std::uint8_t>& frame) {
    std::lock_guard guard(write_lock_);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        // MSG_NOSIGNAL: a client that went away must not take the daemon down with SIGPIPE.
        ssize_t n = ::send(socket_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
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

void xpc_connection_t::report(const std::string& reason) {
    if (protocol_error_) {
        protocol_error_(reason);
    }
}

void xpc_connection_t::resume() {
    std::vector<std::uint8_t> payload;
    while (!invalidated_.load()) {
        std::string reason;
        auto got = read_frame(payload, reason);
        if (got == read_result::closed) {
            break;
        }
        if (got == read_result::error) {
            if (!invalidated_.load()) {
                report(reason);
            }
            break;
        }
        auto decoded = decode_request(payload);
        if (auto* error = std::get_if<wire_error>(&decoded)) {
            report(error->reason);
            break;
        }
        auto& request = std::get<wire_request>(decoded);
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
                        self->send_frame(*frame);
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
