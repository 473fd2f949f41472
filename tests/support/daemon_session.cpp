#include "tests/support/daemon_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <corvana/helper_client.h>

#include "platform/ipc/frame_io.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"

namespace tests {
namespace {

bool socket_answers(const std::string& path) {
    return connect_unix_socket(path).ok();
}

// Waits for a socket file at path (socket activation: bound, nobody started yet).
bool socket_exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

daemon_session::daemon_session() : daemon_session(options{}) {}

daemon_session::daemon_session(options opts) {
    require_sandbox();
    std::vector<std::string> argv = opts.prefix;
    if (opts.socket_activated) {
        // A socket left by an earlier session would pass for the new one before it is bound.
        ::unlink(socket_path().c_str());
        argv.insert(argv.end(), {"/usr/bin/systemd-socket-activate", "--listen=" + socket_path()});
    }
    argv.push_back(CORVANA_DAEMON_PATH);
    process_ = std::make_unique<child_process>(argv, opts.environment);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        // Probing an activated socket would start the daemon: only wait for the file there.
        if (opts.socket_activated ? socket_exists(socket_path()) : socket_answers(socket_path())) {
            // As the socket unit's SocketMode says: every user's application may connect.
            if (opts.socket_activated) {
                ::chmod(socket_path().c_str(), 0666);
            }
            return;
        }
        if (process_->wait_exit(std::chrono::milliseconds(0))) {
            throw std::runtime_error("the daemon ended before it served");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("the daemon's socket did not appear");
}

daemon_session::~daemon_session() = default;

pid_t daemon_session::pid() const {
    return process_->pid();
}

std::optional<int> daemon_session::wait_exit(std::chrono::milliseconds timeout) {
    return process_->wait_exit(timeout);
}

void daemon_session::kill(int signal) {
    process_->kill(signal);
}

std::string daemon_session::socket_path() {
    return corvana::helper_client_t::default_socket_path();
}

command_result daemon_session::helperctl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{signed_helperctl_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv);
}

command_result daemon_session::unsigned_helperctl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{CORVANA_HELPERCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv);
}

std::string issue_authorization(const std::vector<std::string>& rights, const std::string& user) {
    static std::atomic<int> counter{0};
    std::string path =
        "/tmp/auth-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".bin";
    std::vector<std::string> argv{CORVANA_HELPERCTL_PATH, "authorize"};
    for (const auto& right : rights) {
        argv.insert(argv.end(), {"--right", right});
    }
    argv.insert(argv.end(), {"--user", user, "--out", path});
    auto result = run_command(argv);
    if (result.exit_code != 0) {
        throw std::runtime_error("authorize failed: " + result.err);
    }
    return path;
}

}  // namespace tests

namespace tests {

const std::string& signed_helperctl_path() {
    static const std::string path =
        signed_client_executable("/Applications/CorvanaCtl.app", CORVANA_HELPERCTL_PATH);
    return path;
}

}  // namespace tests
