#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "platform/ipc/xpc_connection.h"

// The service's listening socket, standing in for NSXPCListener with a Mach service name. The
// socket is the one systemd hands over (socket activation), or one bound at the service's path.
class xpc_listener_t {
  public:
    using delegate_t = std::function<bool(xpc_listener_t&, std::shared_ptr<xpc_connection_t>)>;

    // Upper bounds of connections served at once: in all, of one user and of one process. A
    // connection over a bound is closed at once. Root is held only to the first: it can stop the
    // daemon anyway, while one user must not be able to lock out another user's clients.
    static constexpr std::size_t k_max_connections = 1024;
    static constexpr std::size_t k_max_connections_per_user = 64;
    static constexpr std::size_t k_max_connections_per_process = 16;

    explicit xpc_listener_t(std::string_view service_name);
    ~xpc_listener_t();
    xpc_listener_t(const xpc_listener_t&) = delete;
    xpc_listener_t& operator=(const xpc_listener_t&) = delete;

    void setDelegate(delegate_t delegate) { delegate_ = std::move(delegate); }
    // Problems of the listener itself (binding, accepting) are reported here.
    void setErrorHandler(std::function<void(const std::string&)> handler) {
        error_ = std::move(handler);
    }
    // Connections refused because the daemon, their user or their process holds too many are
    // reported here, at most once a second, with the peer refused last and the number refused
    // since the last report.
    using limit_handler_t = std::function<void(const ucred& peer, const std::string& message)>;
    void setLimitHandler(limit_handler_t handler) { limit_ = std::move(handler); }

    // Starts accepting on a thread of its own. A failure, reported to the error handler as well,
    // when no socket could be had.
    result<> resume();
    // Stops accepting, ends every connection and waits for their threads.
    void invalidate();

    // Stops taking connections from the socket when no accepted connection still waits for the
    // delegate's answer; true then. Connections that arrive meanwhile stay queued on the socket
    // (with socket activation, for the next instance of the service).
    [[nodiscard]] bool pauseIfNoneAdmitting();
    // Takes connections again after a pause.
    void resumeAccepting();

    const std::string& socket_path() const { return path_; }

  private:
    result<> open_socket();
    result<> prepare_socket();
    result<> make_wake_event();
    void accept_loop();
    // Counts a new connection against the bounds; false when one of them is reached.
    bool take_slot(const ucred& peer);
    // Gives a connection's counts back (admitting: the delegate had not answered yet). Called with
    // lock_ held.
    void release_slot(const ucred& peer, bool admitting);
    void serve(unique_fd client, ucred peer);
    void report(const std::string& message);
    void report_limit(const ucred& peer, const char* bound, std::size_t held);

    std::string path_;
    unique_fd socket_;
    unique_fd wake_;  // eventfd that ends the accept loop
    bool bound_here_ = false;
    delegate_t delegate_;
    std::function<void(const std::string&)> error_;
    limit_handler_t limit_;
    std::thread accept_thread_;

    std::mutex lock_;
    std::condition_variable all_done_;
    std::condition_variable resumed_;
    std::size_t serving_ = 0;
    std::size_t admitting_ = 0;  // accepted, the delegate has not answered yet
    std::map<uid_t, std::size_t> per_user_;
    std::map<pid_t, std::size_t> per_process_;
    bool paused_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point last_limit_report_{};
    std::size_t unreported_limits_ = 0;
    std::vector<std::weak_ptr<xpc_connection_t>> connections_;
};
