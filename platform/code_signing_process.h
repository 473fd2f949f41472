#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/audit_token.h"
#include "platform/unique_fd.h"

namespace code_signing {

// A peer process pinned for inspection. Its /proc directory is opened once, while the pidfd (or,
// without one, the start time) proves it is the process the audit token names; every later read
// goes through that directory, which answers about that process or fails once it is gone, so a
// PID reused in the meantime can't be judged in its place.
class pinned_process_t {
  public:
    // Nothing when the token names no live process, or the process at its PID is another one.
    [[nodiscard]] static std::optional<pinned_process_t> pin(const audit_token_t& token);

    pid_t pid() const { return pid_; }

    // Whether the pinned process is still alive and still the one the token named.
    [[nodiscard]] bool still_alive() const;

    // The file the process executes, opened through /proc: the file it maps, even when its path
    // has since been replaced. Invalid when it can't be opened.
    [[nodiscard]] unique_fd open_executable() const;
    // Where that file lies, as the kernel names it ("... (deleted)" when it was unlinked).
    [[nodiscard]] std::optional<std::string> executable_path() const;

    // Whether any thread is being traced. A status that can't be read counts as traced.
    [[nodiscard]] bool is_traced() const;

    // Whether every file mapped executable into the process, other than the main executable
    // (given by its device and inode), is owned by root and writable by nobody else. A mapping
    // whose file can't be identified counts as foreign.
    [[nodiscard]] bool maps_only_system_code(dev_t main_device, ino_t main_inode) const;

  private:
    pinned_process_t(pid_t pid, unique_fd proc_dir, unique_fd pidfd, std::uint64_t start_time)
        : pid_(pid),
          proc_dir_(std::move(proc_dir)),
          pidfd_(std::move(pidfd)),
          start_time_(start_time) {}

    pid_t pid_;
    unique_fd proc_dir_;
    unique_fd pidfd_;  // our own duplicate of the token's; invalid when the token had none
    std::uint64_t start_time_;
};

// Start time of the process (clock ticks since boot, field 22 of its stat file), read through
// its /proc directory.
[[nodiscard]] std::optional<std::uint64_t> read_start_time(int proc_dir);

}  // namespace code_signing
