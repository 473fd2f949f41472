#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "platform/xpc_connection.h"

// The service's listening socket, standing in for NSXPCListener with a Mach service name. The
// socket is the one systemd hands over (socket activation), or one bound at the service's path.
class xpc_listener_t {
  public:
    using delegate_t = std::function<bool(xpc_listener_t&, std::shared_ptr<xpc_connection_t>)>;

    // Upper bound of connections served at once; more are closed at once.
    static constexpr std::size_t k_max_connections = 1024;

    explicit xpc_listener_t(std::string_view service_name);
    ~xpc_listener_t();
    xpc_listener_t(const xpc_listener_t&) = delete;
    xpc_listener_t& operator=(const xpc_listener_t&) = delete;

    void setDelegate(delegate_t delegate) { delegate_ = std::move(delegate); }
    // Problems of the listener itself (binding, refused connections) are reported here.
    void setErrorHandler(std::function<void(const std::string&)> handler) {
        error_ = std::move(handler);
    }

    // Starts accepting on a thread of its own. False when no socket could be had.
    [[nodiscard]] bool resume();
    // Stops accepting, ends every connection and waits for their threads.
    void invalidate();

    const std::string& socket_path() const { return path_; }

  private:
    [[nodiscard]] bool open_socket();
    void accept_loop();
    void serve(unique_fd client);
    void report(const std::string& message);

    std::string path_;
    unique_fd socket_;
    unique_fd wake_;  // eventfd that ends the accept loop
    bool bound_here_ = false;
    delegate_t delegate_;
    std::function<void(const std::string&)> error_;
    std::thread accept_thread_;

    std::mutex lock_;
    std::condition_variable all_done_;
    std::size_t serving_ = 0;
    bool stopping_ = false;
    std::vector<std::weak_ptr<xpc_connection_t>> connections_;
};
