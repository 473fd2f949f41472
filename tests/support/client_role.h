#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tests/support/command.h"
#include "tests/support/role.h"

namespace tests {

// A copy of the running test program inside a client bundle signed with the test chain, run to
// play a client of the daemon: the daemon admits it, and it can hold connections or load the
// daemon in ways a one-shot command line can't.
//
// Roles: "Hold" connects, calls version(), prints "ready" and keeps the connection until
// released; "Load CLIENTS CALLS" runs CLIENTS connections at once, each making CALLS calls, and
// prints "answered N of M".
struct role_options {
    // Run as this user (a name), not as root.
    std::string user;
    // Run the test program itself, from outside any bundle, instead of its signed copy.
    bool unsigned_copy = false;
    // Run this copy of the test program instead (a bundle's executable, say).
    std::string executable;
};

class client_role {
  public:
    client_role(const std::string& role, const std::vector<std::string>& args,
                const role_options& options = {});
    ~client_role();

    // True once the role has printed "ready".
    bool wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Lets a holding role end its connection and exit.
    void release();
    // The role's exit status, or -1 when it did not end in time.
    int wait(std::chrono::milliseconds timeout);
    std::string output() const;
    // The role's process (it becomes the test program once the user is set).
    pid_t pid() const;

  private:
    std::string out_path_;
    std::string release_path_;
    std::unique_ptr<child_process> process_;
};

// Inside a role: the arguments the test gave start_client_role.
std::vector<std::string> role_arguments();

// A connection to the daemon's socket without the client library, for speaking the protocol
// by hand, once the daemon has said it admitted it; invalid when nothing answers or the
// connection was refused.
unique_fd raw_connection();

std::unique_ptr<client_role> start_client_role(const std::string& role,
                                               const std::vector<std::string>& args,
                                               const role_options& options = {});

// The signed copy of the running test program that roles run in, made on first use.
const std::string& signed_test_client();

}  // namespace tests
