#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "platform/posix/result.h"

// The one way this program starts another program: an absolute path and an argument vector, no
// shell unless the arguments start one. Every child gets standard input from /dev/null, keeps the
// daemon's standard error, has every signal unblocked and at its default action (but the C
// library's own two below SIGRTMIN, which glibc's posix_spawn leaves ignored and a glibc program
// sets up for itself), and inherits no other descriptor of the daemon than the ones named here.

// How a child ended.
struct child_exit_t {
    bool signaled = false;  // ended by a signal rather than by exiting
    int code = 0;           // the exit status, or the number of the signal that ended it
};

// A started child, held through a pidfd so that signals can never reach an unrelated process
// that reused its PID. Always reaped: a handle destroyed while its child still runs kills the
// child and reaps it. Move-only; not for use from several threads at once.
class child_process_t {
  public:
    child_process_t() = default;
    child_process_t(child_process_t&& other) noexcept;
    child_process_t& operator=(child_process_t&& other) noexcept;
    child_process_t(const child_process_t&) = delete;
    child_process_t& operator=(const child_process_t&) = delete;
    ~child_process_t();

    // Starts path with argument vector arguments (the path itself is the child's argv[0]).
    // standard_output is dup'ed to the child's descriptor 1; -1 keeps the daemon's.
    static result<child_process_t> spawn(const std::string& path,
                                         const std::vector<std::string>& arguments,
                                         int standard_output);

    bool valid() const { return pidfd_.valid(); }
    pid_t pid() const { return pid_; }
    // Readable once the child has ended. Stays owned by this handle.
    int pidfd() const { return pidfd_.get(); }
    bool reaped() const { return exit_.has_value(); }
    // How the child ended, once reaped.
    const std::optional<child_exit_t>& exit_status() const { return exit_; }

    // Reaps the child if it has ended; its exit then, or nothing while it runs.
    std::optional<child_exit_t> try_wait();
    // Blocks until the child has ended and reaps it.
    child_exit_t wait();
    // Sends a signal unless the child has already been reaped (a failure with ESRCH then).
    result<> send_signal(int signal_number);

  private:
    void finish();

    pid_t pid_ = -1;
    unique_fd pidfd_;
    std::optional<child_exit_t> exit_;
};

// Starts path in a session of its own, as a grandchild that launchd's stand-in (init) adopts: the
// caller has no child left to reap and the program outlives the daemon. Success once the
// program's image has been executed.
result<> spawn_detached(const std::string& path, const std::vector<std::string>& arguments);
