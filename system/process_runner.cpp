#include "system/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/plist/unicode_text.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A time-out in seconds as a count of nanoseconds, truncated toward zero; out-of-range values
// saturate instead of overflowing.
std::int64_t nanoseconds_from(double seconds) {
    if (std::isnan(seconds)) {
        return 0;
    }
    const double nanoseconds = seconds * 1e9;
    constexpr double k_limit = 9.2e18;
    if (nanoseconds >= k_limit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (nanoseconds <= -k_limit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(nanoseconds);
}

clock_type::time_point deadline_after(std::int64_t nanoseconds) {
    const clock_type::time_point now = clock_type::now();
    const auto delta = std::chrono::nanoseconds(nanoseconds);
    if (delta > clock_type::time_point::max() - now) {
        return clock_type::time_point::max();
    }
    return now + std::chrono::duration_cast<clock_type::duration>(delta);
}

// Reads what the pipe holds right now. False at end of file or on an error.
bool drain(int fd, std::string& output) {
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

constexpr clock_type::time_point k_never = clock_type::time_point::max();

int poll_timeout_ms(clock_type::time_point a, clock_type::time_point b) {
    const clock_type::time_point next = std::min(a, b);
    if (next == k_never) {
        return -1;
    }
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(next - clock_type::now());
    if (remaining.count() <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<std::int64_t>(remaining.count(), 60'000));
}

}  // namespace

bool task_t::start(int standard_output) {
    std::lock_guard guard(lock_);
    if (launched_) {
        return false;
    }
    launched_ = true;
    auto started = child_process_t::spawn(launch_path_, arguments_, standard_output);
    if (!started) {
        launch_error_ = started.error() != 0 ? started.error() : ENOENT;
        return false;
    }
    child_ = std::move(started).value();
    return true;
}

bool task_t::launch() {
    return start(-1);
}

void task_t::waitUntilExit() {
    int pidfd = -1;
    {
        std::lock_guard guard(lock_);
        if (!child_.valid()) {
            return;
        }
        pidfd = child_.pidfd();
    }
    // The pidfd lives as long as this task: child_ is set once, at launch.
    while (true) {
        {
            std::lock_guard guard(lock_);
            if (child_.try_wait()) {
                return;
            }
        }
        pollfd ended{pidfd, POLLIN, 0};
        (void)::poll(&ended, 1, -1);
    }
}

bool task_t::isRunning() {
    std::lock_guard guard(lock_);
    return child_.valid() && !child_.try_wait();
}

int task_t::processIdentifier() {
    std::lock_guard guard(lock_);
    return child_.valid() ? child_.pid() : 0;
}

int task_t::status_locked() const {
    if (launch_error_ != 0) {
        return launch_error_ == ENOENT || launch_error_ == ENOTDIR ? k_not_found_status
                                                                   : k_cannot_execute_status;
    }
    // A signal that ends the child gives its number, which is never 0.
    return child_.reaped() ? child_.exit_status()->code : -1;
}

int task_t::terminationStatus() {
    std::lock_guard guard(lock_);
    return status_locked();
}

void task_t::terminate() {
    std::lock_guard guard(lock_);
    (void)child_.send_signal(SIGTERM);
}

task_t::captured_t task_t::capture(std::optional<double> timeout_seconds) {
    captured_t result;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return result;
    }
    const unique_fd read_end(pipe_fds[0]);
    unique_fd write_end(pipe_fds[1]);
    if (!start(write_end.get())) {
        return result;
    }
    result.started = true;
    // Only the child may hold the write end, or end of file would never come.
    write_end.reset();
    (void)::fcntl(read_end.get(), F_SETFL, O_NONBLOCK);

    int pidfd = -1;
    {
        std::lock_guard guard(lock_);
        pidfd = child_.pidfd();
    }
    clock_type::time_point terminate_at =
        timeout_seconds ? deadline_after(nanoseconds_from(*timeout_seconds)) : k_never;
    clock_type::time_point kill_at = k_never;
    bool pipe_open = true;

    // The pipe is drained while the child runs, so a child that writes more than the pipe holds
    // never blocks for ever.
    while (true) {
        pollfd watched[2] = {{pidfd, POLLIN, 0}, {pipe_open ? read_end.get() : -1, POLLIN, 0}};
        const int ready = ::poll(watched, 2, poll_timeout_ms(terminate_at, kill_at));
        if (ready > 0 && pipe_open && watched[1].revents != 0) {
            pipe_open = drain(read_end.get(), result.output);
        }
        if (ready > 0 && watched[0].revents != 0) {
            std::lock_guard guard(lock_);
            if (child_.try_wait()) {
                break;
            }
        }
        const clock_type::time_point now = clock_type::now();
        if (terminate_at != k_never && now >= terminate_at) {
            terminate();
            terminate_at = k_never;
            kill_at = deadline_after(nanoseconds_from(k_kill_grace_seconds));
        } else if (kill_at != k_never && now >= kill_at) {
            std::lock_guard guard(lock_);
            (void)child_.send_signal(SIGKILL);
            kill_at = k_never;
        }
    }
    // Everything the child wrote before it ended is in the pipe now. A grandchild that kept the
    // write end open is not waited for.
    if (pipe_open) {
        (void)drain(read_end.get(), result.output);
    }
    return result;
}

int task_t::syncExec(const std::string& path, const std::vector<std::string>& args) {
    task_t task;
    task.setLaunchPath(path);
    task.setArguments(args);
    if (task.launch()) {
        task.waitUntilExit();
    }
    return task.terminationStatus();
}

std::optional<std::string> task_t::syncStdOutExecute() {
    captured_t captured = capture(std::nullopt);
    if (!captured.started || terminationStatus() != 0 || !is_valid_utf8(captured.output)) {
        return std::nullopt;
    }
    return std::move(captured.output);
}

std::optional<std::string> task_t::syncStdOutExecuteWithTimeout(double seconds) {
    captured_t captured = capture(seconds);
    if (!captured.started || !is_valid_utf8(captured.output)) {
        return std::nullopt;
    }
    return std::move(captured.output);
}
