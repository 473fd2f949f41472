#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/posix/write_all.h"

namespace {

// Called through syscall(): the glibc 2.36 header declares these without C linkage for C++.
int open_pidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}

int signal_pidfd(int pidfd, int signal_number) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal_number, nullptr, 0U));
}

// The argument vector in the form exec wants, built before the spawn so that nothing is
// allocated between fork and exec.
class argument_vector_t {
  public:
    argument_vector_t(const std::string& path, const std::vector<std::string>& arguments) {
        storage_.reserve(arguments.size() + 1);
        storage_.push_back(path);
        storage_.insert(storage_.end(), arguments.begin(), arguments.end());
        pointers_.reserve(storage_.size() + 1);
        for (std::string& text : storage_) {
            pointers_.push_back(text.data());
        }
        pointers_.push_back(nullptr);
    }
    char* const* get() { return pointers_.data(); }

  private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

// A posix_spawn object, destroyed only when its initialisation succeeded.
template <typename Object, int (*initialise)(Object*), int (*destroy)(Object*)>
class spawn_object_t {
  public:
    spawn_object_t() { ok_ = initialise(&object_) == 0; }
    spawn_object_t(const spawn_object_t&) = delete;
    spawn_object_t& operator=(const spawn_object_t&) = delete;
    ~spawn_object_t() {
        if (ok_) {
            destroy(&object_);
        }
    }
    bool ok() const { return ok_; }
    Object* get() { return &object_; }

  private:
    Object object_{};
    bool ok_ = false;
};

using file_actions_t = spawn_object_t<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                      posix_spawn_file_actions_destroy>;
using spawn_attributes_t =
    spawn_object_t<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

child_exit_t exit_from(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) {
        return {false, info.si_status};
    }
    return {true, info.si_status};
}

int prepare_spawn(file_actions_t& actions, spawn_attributes_t& attributes, int standard_output) {
    if (!actions.ok() || !attributes.ok()) {
        return ENOMEM;
    }
    int rc =
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0 && standard_output >= 0) {
        rc = posix_spawn_file_actions_adddup2(actions.get(), standard_output, STDOUT_FILENO);
    }
    // Descriptors opened without O_CLOEXEC by a library, or inherited from whoever started the
    // daemon, must not leak into a tool either.
    if (rc == 0) {
        rc = posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
    }
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    if (rc == 0) {
        rc = posix_spawnattr_setsigdefault(attributes.get(), &all);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setsigmask(attributes.get(), &none);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(attributes.get(),
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    return rc;
}

// Runs in the grandchild of spawn_detached, a copy of a possibly multi-threaded process: only
// async-signal-safe calls from here on.
[[noreturn]] void exec_detached(const char* path, char* const* argv, int report) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        (void)::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);

    int error = 0;
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0) {
        error = errno;
    } else {
        if (null_fd != STDIN_FILENO) {
            ::close(null_fd);
        }
        // Keep only the standard descriptors and the close-on-exec report pipe.
        if (report > STDERR_FILENO + 1) {
            (void)::close_range(STDERR_FILENO + 1, static_cast<unsigned>(report) - 1, 0);
        }
        (void)::close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
        ::execve(path, argv, environ);
        error = errno;
    }
    (void)write_all(report, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

child_process_t::child_process_t(child_process_t&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      exit_(std::exchange(other.exit_, std::nullopt)) {}

child_process_t& child_process_t::operator=(child_process_t&& other) noexcept {
    if (this != &other) {
        finish();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
        exit_ = std::exchange(other.exit_, std::nullopt);
    }
    return *this;
}

child_process_t::~child_process_t() {
    finish();
}

void child_process_t::finish() {
    if (pidfd_ && !exit_) {
        (void)send_signal(SIGKILL);
        (void)wait();
    }
    pidfd_.reset();
}

result<child_process_t> child_process_t::spawn(const std::string& path,
                                               const std::vector<std::string>& arguments,
                                               int standard_output) {
    file_actions_t actions;
    spawn_attributes_t attributes;
    int rc = prepare_spawn(actions, attributes, standard_output);
    argument_vector_t argv(path, arguments);
    pid_t pid = -1;
    if (rc == 0) {
        rc = posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.get(), environ);
    }
    if (rc != 0) {
        return result<>::system_failure(rc);
    }
    child_process_t child;
    child.pid_ = pid;
    // The child is ours and not yet reaped, so its PID can't have been reused here.
    child.pidfd_.reset(open_pidfd(pid));
    if (!child.pidfd_) {
        const int error = errno;
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return result<>::system_failure(error);
    }
    return child;
}

std::optional<child_exit_t> child_process_t::try_wait() {
    if (exit_ || !pidfd_) {
        return exit_;
    }
    siginfo_t info{};
    int rc;
    do {
        rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info,
                      WEXITED | WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        // Only a foreign waitpid(-1) can take our child; treat it as gone rather than wait for
        // ever.
        exit_ = child_exit_t{true, SIGKILL};
    } else if (info.si_pid != 0) {
        exit_ = exit_from(info);
    }
    return exit_;
}

child_exit_t child_process_t::wait() {
    while (!try_wait()) {
        pollfd ended{pidfd_.get(), POLLIN, 0};
        (void)::poll(&ended, 1, -1);
    }
    return *exit_;
}

result<> child_process_t::send_signal(int signal_number) {
    if (!pidfd_ || exit_) {
        return result<>::system_failure(ESRCH);
    }
    if (signal_pidfd(pidfd_.get(), signal_number) != 0) {
        return result<>::system_failure(errno);
    }
    return result<>::success();
}

result<> spawn_detached(const std::string& path, const std::vector<std::string>& arguments) {
    argument_vector_t argv(path, arguments);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return result<>::system_failure(errno);
    }
    unique_fd report_read(pipe_fds[0]);
    unique_fd report_write(pipe_fds[1]);
    // The grandchild keeps only descriptors 0-2 and this one, so it must lie above them.
    if (report_write.get() <= STDERR_FILENO) {
        report_write.reset(::fcntl(report_write.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        if (!report_write) {
            return result<>::system_failure(errno);
        }
    }

    const pid_t intermediate = ::_Fork();
    if (intermediate < 0) {
        return result<>::system_failure(errno);
    }
    if (intermediate == 0) {
        (void)::setsid();
        const pid_t grandchild = ::_Fork();
        if (grandchild == 0) {
            exec_detached(path.c_str(), argv.get(), report_write.get());
        }
        if (grandchild < 0) {
            const int fork_error = errno;
            (void)write_all(report_write.get(), &fork_error, sizeof fork_error);
        }
        ::_exit(grandchild < 0 ? 1 : 0);
    }

    report_write.reset();
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
    // End of file without a report means the grandchild's exec closed the pipe.
    int reported = 0;
    ssize_t n;
    do {
        n = ::read(report_read.get(), &reported, sizeof reported);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof reported)) {
        return result<>::system_failure(reported);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return result<>::system_failure(ECHILD);
    }
    return result<>::success();
}
