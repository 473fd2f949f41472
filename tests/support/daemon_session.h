#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/command.h"

namespace tests {

// The daemon's trace file when it runs as root with a writable /var/log.
inline constexpr const char* k_daemon_trace = "/var/log/corvana.trace";

// The real daemon, started in the sandbox the way the service manager would, and the real
// command line talking to it. Must be used inside the sandbox.
class daemon_session {
  public:
    struct options {
        // Run the daemon through these first (for example {"/usr/bin/prlimit", "--nofile=256:1024",
        // "--"}).
        std::vector<std::string> prefix;
        // Start it the way socket activation does: something else binds the socket and the
        // daemon is started on the first connection with the socket handed over.
        bool socket_activated = false;
        // Added to the daemon's environment ("NAME=value").
        std::vector<std::string> environment{};
    };

    daemon_session();
    explicit daemon_session(options opts);
    ~daemon_session();
    daemon_session(const daemon_session&) = delete;
    daemon_session& operator=(const daemon_session&) = delete;

    // The process the test started (for socket activation, the activator that becomes the daemon).
    pid_t pid() const;
    // The daemon's exit status once it has quit by itself within the time.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    void kill(int signal);

    // corvana-helperctl from a signed client bundle that the daemon admits.
    command_result helperctl(const std::vector<std::string>& args) const;
    // The same command line, run from outside any signed bundle.
    command_result unsigned_helperctl(const std::vector<std::string>& args) const;

    static std::string socket_path();

  private:
    std::unique_ptr<child_process> process_;
};

// The executable inside a client bundle signed with the test chain that the daemon's
// requirement accepts (a copy of corvana-helperctl); made once per test program.
const std::string& signed_helperctl_path();

// Writes 32 bytes of an authorization issued by `corvana-helperctl authorize` for the rights,
// into a new file whose path is returned.
std::string issue_authorization(const std::vector<std::string>& rights,
                                const std::string& user = "root");

}  // namespace tests
