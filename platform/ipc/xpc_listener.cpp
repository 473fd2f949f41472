#include "platform/ipc/xpc_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ipc/frame_io.h"
#include "platform/posix/proc_files.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace {

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

failure_t system_failed(const std::string& what) {
    const int error = errno;
    return result<>::system_failure(error, what + ": " + std::strerror(error));
}

// The peer's identity, pinned by a pidfd. The kernel hands out the pidfd of the very process that
// connected (SO_PEERPIDFD). Older kernels get pidfd_open of the pid instead, checked against the
// process's start time before and after; a process that took over the pid of a peer that died
// before this point is then pinned in its place, but it can't be served for that: every message
// must carry the kernel's credentials of the pinned process itself, which the one that connected
// no longer is, and nothing sent before admission is read.
unique_fd peer_identity(int socket, const ucred& cred, audit_token_t& token) {
    token.pid = cred.pid;
    token.uid = cred.uid;
    token.gid = cred.gid;

    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        token.start_time = proc_files::start_time_of(cred.pid).value_or(0);
        return unique_fd(pidfd);
    }
    auto before = proc_files::start_time_of(cred.pid);
    unique_fd opened(static_cast<int>(::syscall(SYS_pidfd_open, cred.pid, 0)));
    if (!opened || !before || proc_files::start_time_of(cred.pid).value_or(0) != *before) {
        return unique_fd();
    }
    token.start_time = *before;
    return opened;
}

}  // namespace

xpc_listener_t::xpc_listener_t(std::string_view service_name)
    : path_(service_socket_path(service_name)) {}

xpc_listener_t::~xpc_listener_t() {
    invalidate();
}

void xpc_listener_t::report(const std::string& message) {
    if (error_) {
        error_(message);
    }
}

result<> xpc_listener_t::open_socket() {
    // Socket activation: the service manager bound the socket and started us on a connection.
    int handed = sd_listen_fds(1);
    if (handed >= 1) {
        int fd = SD_LISTEN_FDS_START;
        if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
            return result<>::failure("the socket handed over is not a listening stream socket");
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        socket_.reset(fd);
        return prepare_socket();
    }

    auto address = unix_socket_address(path_);
    if (!address) {
        return result<>::failure("socket path too long: " + path_);
    }

    // A socket left by an earlier run is replaced only when nobody answers on it; anything
    // else at the path (a file, a link) is left alone and the listener refuses to start.
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            return result<>::failure(path_ + " exists and is not a socket");
        }
        if (connect_unix_socket(path_)) {
            return result<>::failure("another instance is serving " + path_);
        }
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
            return system_failed("cannot remove stale socket " + path_);
        }
    }

    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return system_failed("socket");
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        return system_failed("bind " + path_);
    }
    bound_here_ = true;
    // Every user's application may connect; admission is by code signature.
    ::chmod(path_.c_str(), 0666);
    if (::listen(fd.get(), SOMAXCONN) != 0) {
        return system_failed("listen");
    }
    socket_ = std::move(fd);
    return prepare_socket();
}

result<> xpc_listener_t::prepare_socket() {
    // Accepting never blocks, so a client that goes away between the poll and the accept can't
    // stall the loop. (Credential passing is turned on for each accepted socket instead.)
    int flags = ::fcntl(socket_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return system_failed("cannot prepare the listening socket");
    }
    return result<>::success();
}

result<> xpc_listener_t::resume() {
    auto started = open_socket();
    if (started) {
        started = make_wake_event();
    }
    if (!started) {
        report(started.description());
        return started;
    }
    accept_thread_ = std::thread([this] {
        // Threads inherit their creator's name; the trace would show this one as the main thread.
        ::pthread_setname_np(::pthread_self(), "listener");
        accept_loop();
    });
    return result<>::success();
}

result<> xpc_listener_t::make_wake_event() {
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!wake_) {
        return system_failed("eventfd");
    }
    return result<>::success();
}

void xpc_listener_t::accept_loop() {
    for (;;) {
        {
            std::unique_lock guard(lock_);
            resumed_.wait(guard, [this] { return !paused_ || stopping_; });
            if (stopping_) {
                return;
            }
        }
        pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            report(errno_text("poll"));
            return;
        }
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto n = ::read(wake_.get(), &count, sizeof count);
            continue;
        }
        // Accepted under the lock, so no connection is taken off the socket once a pause holds.
        std::unique_lock guard(lock_);
        if (stopping_) {
            return;
        }
        if (paused_) {
            continue;
        }
        unique_fd client(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) {
                continue;
            }
            // Out of descriptors or memory: back off instead of spinning.
            guard.unlock();
            report(errno_text("accept"));
            ::poll(nullptr, 0, 100);
            continue;
        }
        // Set on every accepted socket: a connection that was already queued when the listening
        // socket got it does not inherit it. Only what is sent from now on carries credentials;
        // nothing sent earlier is read.
        ucred peer{};
        socklen_t length = sizeof peer;
        int on = 1;
        if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            ::setsockopt(client.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            continue;
        }
        if (serving_ >= k_max_connections) {
            report_limit(peer, "the daemon", serving_);
            continue;
        }
        if (!take_slot(peer)) {
            continue;
        }
        guard.unlock();
        try {
            std::thread([this, fd = client.release(), peer] {
                serve(unique_fd(fd), peer);
            }).detach();
        } catch (const std::system_error&) {
            std::lock_guard again(lock_);
            release_slot(peer, true);
            report("cannot start a thread for a connection");
        }
    }
}

bool xpc_listener_t::take_slot(const ucred& peer) {
    if (peer.uid != 0) {
        if (std::size_t held = per_user_[peer.uid]; held >= k_max_connections_per_user) {
            report_limit(peer, "its user", held);
            return false;
        }
        if (std::size_t held = per_process_[peer.pid]; held >= k_max_connections_per_process) {
            report_limit(peer, "its process", held);
            return false;
        }
    }
    ++per_user_[peer.uid];
    ++per_process_[peer.pid];
    ++serving_;
    ++admitting_;
    return true;
}

void xpc_listener_t::release_slot(const ucred& peer, bool admitting) {
    if (admitting) {
        --admitting_;
    }
    if (--per_user_[peer.uid] == 0) {
        per_user_.erase(peer.uid);
    }
    if (--per_process_[peer.pid] == 0) {
        per_process_.erase(peer.pid);
    }
    --serving_;
}

// Called with lock_ held. A flood of refusals must not flood the trace: one line a second.
void xpc_listener_t::report_limit(const ucred& peer, const char* bound, std::size_t held) {
    ++unreported_limits_;
    auto now = std::chrono::steady_clock::now();
    if (!limit_ || now - last_limit_report_ < std::chrono::seconds(1)) {
        return;
    }
    last_limit_report_ = now;
    std::string message = "refused a connection of pid " + std::to_string(peer.pid) + " uid " +
                          std::to_string(peer.uid) + ": " + bound + " holds " +
                          std::to_string(held) + " connections already";
    if (unreported_limits_ > 1) {
        message += " (" + std::to_string(unreported_limits_) + " refused since the last report)";
    }
    unreported_limits_ = 0;
    limit_(peer, message);
}

bool xpc_listener_t::pauseIfNoneAdmitting() {
    std::lock_guard guard(lock_);
    if (admitting_ != 0) {
        return false;
    }
    paused_ = true;
    return true;
}

void xpc_listener_t::resumeAccepting() {
    std::lock_guard guard(lock_);
    paused_ = false;
    resumed_.notify_all();
}

void xpc_listener_t::serve(unique_fd client, ucred peer) {
    // Like the platform's queue threads, connection threads carry no name of their own (Linux
    // would show the process name in their place).
    ::pthread_setname_np(::pthread_self(), "");
    // The counts drop last, when nothing of this listener is touched any more.
    struct done_t {
        xpc_listener_t* self;
        ucred peer;
        bool admitting = true;
        ~done_t() {
            std::lock_guard guard(self->lock_);
            self->release_slot(peer, admitting);
            self->all_done_.notify_all();
        }
    } done{this, peer};

    audit_token_t token;
    unique_fd pidfd = peer_identity(client.get(), peer, token);
    auto connection =
        std::make_shared<xpc_connection_t>(std::move(client), std::move(pidfd), token);
    {
        std::lock_guard guard(lock_);
        if (stopping_) {
            return;
        }
        std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
        connections_.push_back(connection);
    }
    bool accepted = delegate_ && delegate_(*this, connection);
    {
        std::lock_guard guard(lock_);
        --admitting_;
        done.admitting = false;
    }
    if (!accepted) {
        return;  // rejected: the socket closes with the connection object
    }
    connection->resume();
}

void xpc_listener_t::invalidate() {
    std::vector<std::shared_ptr<xpc_connection_t>> live;
    {
        std::lock_guard guard(lock_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
        for (auto& weak : connections_) {
            if (auto c = weak.lock()) {
                live.push_back(std::move(c));
            }
        }
        connections_.clear();
    }
    resumed_.notify_all();
    if (wake_) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
    }
    if (accept_thread_.joinable()) {
        accept_thread_.join();
    }
    for (auto& connection : live) {
        connection->invalidate();
    }
    live.clear();
    std::unique_lock guard(lock_);
    all_done_.wait(guard, [this] { return serving_ == 0; });
    if (bound_here_) {
        ::unlink(path_.c_str());
    }
}
