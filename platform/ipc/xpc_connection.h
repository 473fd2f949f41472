#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

#include "base/unique_fd.h"
#include "platform/ipc/xpc_message.h"
#include "platform/posix/audit_token.h"

// One method of a remote protocol: its selector text, the kinds of its arguments before the reply
// block, and the kind its reply block takes.
struct method_signature_t {
    std::string_view selector;
    std::span<const wire_kind> arguments;
    wire_kind reply;
};

// The interface a connection exports: the protocol's methods.
struct xpc_interface_t {
    std::span<const method_signature_t> methods;

    // Index of the method with this selector, or -1.
    int find(std::string_view selector) const;
};

// Called once per remote call, on the connection's own thread; the reply callable must be called
// exactly once.
using xpc_exported_object_t = std::function<void(std::size_t method, std::vector<wire_value> args,
                                                 std::function<void(wire_value)> reply)>;

// One accepted client connection, standing in for NSXPCConnection. Calls are read and handled one
// after the other on the connection's own thread; different connections run at the same time.
class xpc_connection_t : public std::enable_shared_from_this<xpc_connection_t> {
  public:
    xpc_connection_t(unique_fd socket, unique_fd pidfd, audit_token_t token);
    ~xpc_connection_t();
    xpc_connection_t(const xpc_connection_t&) = delete;
    xpc_connection_t& operator=(const xpc_connection_t&) = delete;

    const audit_token_t& auditToken() const { return token_; }
    // The program the peer ran when it was admitted, as the kernel named it; empty before.
    void setPeerExecutable(std::string path) { peer_executable_ = std::move(path); }
    const std::string& peerExecutable() const { return peer_executable_; }
    // The connection's socket, for a handler to wait on the peer hanging up (while it handles a
    // call, nothing else reads it); the connection keeps it.
    int socketDescriptor() const { return socket_.get(); }

    // The connection whose call the calling thread is handling, or nullptr outside a call. A
    // handler learns from it who asked (the platform's currentConnection); it is valid until the
    // handler returns.
    static xpc_connection_t* currentConnection();

    void setExportedInterface(const xpc_interface_t* interface) { interface_ = interface; }
    void setExportedObject(xpc_exported_object_t object) { object_ = std::move(object); }
    void setInvalidationHandler(std::function<void()> handler) {
        invalidation_ = std::move(handler);
    }
    // A message that can't be served is reported here, then the connection is invalidated.
    void setProtocolErrorHandler(std::function<void(const std::string&)> handler) {
        protocol_error_ = std::move(handler);
    }

    // Binds the connection to the admitted code: every piece of every message must carry the
    // kernel's credentials of process pid running as uid, and same_code must hold once a message
    // is whole (the process still runs the program image that was admitted). A message that
    // fails either is not served and ends the connection.
    void setSenderCheck(pid_t pid, uid_t uid, std::function<bool()> same_code);

    // Whether the peer has hung up (closed or shut down its end) or its process has ended; asks
    // the kernel without waiting.
    [[nodiscard]] bool peerGone() const;

    // Tells the peer it was admitted, so it may start sending. Refused (nothing sent) when bytes
    // are already waiting: they were sent before admission ended, possibly by code that ran in
    // the process before the program that was checked, and can't be vouched for.
    result<> confirmAdmission();

    // Serves calls until the peer goes away or the connection is invalidated, then runs the
    // invalidation handler. Runs on the calling thread (the listener gives each connection one).
    void resume();
    // Ends the connection from any thread; a call being handled finishes first.
    void invalidate();

  private:
    result<> send_frame(const std::vector<std::uint8_t>& frame);
    void report(const std::string& reason);

    unique_fd socket_;
    unique_fd pidfd_;
    audit_token_t token_;
    std::string peer_executable_;
    const xpc_interface_t* interface_ = nullptr;
    xpc_exported_object_t object_;
    std::function<void()> invalidation_;
    std::function<void(const std::string&)> protocol_error_;
    std::optional<ucred> sender_;
    std::function<bool()> same_code_;
    std::mutex write_lock_;
    std::atomic<bool> invalidated_{false};
};
