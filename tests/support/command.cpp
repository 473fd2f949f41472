#include "tests/support/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace tests {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

int decode_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
            int out_fd, int err_fd) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment_with(extra_env);
    auto arg_ptrs = pointers(args);
    auto env_ptrs = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    }
    if (err_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    }
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

}  // namespace

command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env) {
    command_result result;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    pid_t pid = spawn(argv, extra_env, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (pid > 0 && open_count > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    fds[i].fd = -1;
                    --open_count;
                }
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (pid > 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.exit_code = decode_status(status);
    }
    return result;
}

child_process::child_process(const std::vector<std::string>& argv,
                             const std::vector<std::string>& extra_env)
    : pid_(spawn(argv, extra_env, -1, -1)) {}

child_process::~child_process() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::optional<int> child_process::wait_exit(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            status_ = decode_status(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void child_process::kill(int signal) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, signal);
    }
}

}  // namespace tests
