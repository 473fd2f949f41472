#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/unique_fd.h"
#include "platform/posix/audit_token.h"

namespace code_signing {

// What marks one program image of a process: where the kernel put its AT_RANDOM bytes and what
// they were.
struct exec_stamp_t {
    std::uint64_t address = 0;
    std::array<std::uint8_t, 16> bytes{};

    bool operator==(const exec_stamp_t&) const = default;
};

// A program image of a process, held through its memory: the kernel ties an open /proc/PID/mem
// to the memory it was opened on, and answers nothing through it once that memory is no longer
// in use, which happens when the process executes another program (or ends). Holding it costs
// one read per question instead of an open and a read. Only a process the client itself made
// with CLONE_VM could keep the old memory in use past an exec.
class image_watch_t {
  public:
    image_watch_t(unique_fd memory, exec_stamp_t stamp)
        : memory_(std::move(memory)), stamp_(stamp) {}

    // Whether the process still runs the watched image.
    [[nodiscard]] bool unchanged() const;

  private:
    unique_fd memory_;
    exec_stamp_t stamp_;
};

// A peer process pinned for inspection. Its /proc directory is opened once, while the pidfd (or,
// without one, the start time) proves it is the process the audit token names; every later read
// goes through that directory, which answers about that process or fails once it is gone, so a
// PID reused in the meantime can't be judged in its place.
class pinned_process_t {
  public:
    // Bytes of page tables past which a process's memory is not examined page by page: 16 MiB
    // of them map 8 GiB in 4 KiB pages, more than a client holds, and walking them costs a few
    // milliseconds. (Page tables cost a process little memory: one file mapped many times over
    // fills them.)
    static constexpr std::uint64_t k_max_page_tables = 16ull * 1024 * 1024;

    // Nothing when the token names no live process, or the process at its PID is another one.
    [[nodiscard]] static std::optional<pinned_process_t> pin(const audit_token_t& token);

    pid_t pid() const { return pid_; }
    // The user the process ran as when it connected, as the kernel recorded it.
    uid_t uid() const { return uid_; }

    // Whether the pinned process is still alive and still the one the token named.
    [[nodiscard]] bool still_alive() const;

    // The file the process executes, opened through /proc: the file it maps, even when its path
    // has since been replaced. Invalid when it can't be opened.
    [[nodiscard]] unique_fd open_executable() const;
    // Where that file lies, as the kernel names it ("... (deleted)" when it was unlinked).
    [[nodiscard]] std::optional<std::string> executable_path() const;

    // Whether any thread is being traced. A status that can't be read counts as traced, and so
    // does a look that stop ends.
    [[nodiscard]] bool is_traced(const std::function<bool()>& stop = {}) const;

    // Whether the process runs only code it loaded from files, unchanged: every file mapped
    // executable into it, other than its main executable (open at main_executable), is owned by
    // root and writable by nobody else; no executable mapping, and no mapping of the main
    // executable's read-only segments, holds a private copy of a page (code or constant data
    // written through /proc/PID/mem or ptrace leaves one); and no anonymous memory is executable.
    // A mapping whose file can't be identified counts as foreign.
    //
    // The owners and modes are judged first, from the list of mappings alone. The pages come
    // last, from the kernel's per-mapping accounting (smaps), which walks only the page tables
    // that exist: its cost follows what the process really holds, not the address space it
    // reserved, and it is refused unread past k_max_page_tables. stop is asked between the
    // steps; once it holds, the answer is false.
    [[nodiscard]] bool maps_only_system_code(int main_executable,
                                             const std::function<bool()>& stop = {}) const;

    // Whether another process (not a thread of this one) uses the same memory: one made with
    // CLONE_VM that did not execute a program since, a vfork child before its exec. Whoever
    // controls it controls the memory the process runs in. Every process visible in /proc is
    // compared (kcmp); when the comparison can't be made with the process itself, or stop ends
    // the look, the answer is yes.
    [[nodiscard]] bool shares_memory(const std::function<bool()>& stop = {}) const;

    // Whether other processes of its user are kept out of it: it made itself non-dumpable (the
    // kernel then hands its /proc entries to root and refuses ptrace, /proc/PID/mem and
    // pidfd_getfd to anyone without CAP_SYS_PTRACE) and it lives in our user namespace, so no
    // user holds capabilities over it. A root process is out of reach of users anyway.
    [[nodiscard]] bool out_of_reach() const;

    // The 16 random bytes the kernel put on the process's stack when it last executed a program
    // (AT_RANDOM). They are new on every exec and readable only with ptrace access, so reading
    // the same bytes again proves no exec happened in between. Nothing when they can't be read
    // (the process is gone, say).
    [[nodiscard]] std::optional<exec_stamp_t> exec_stamp() const;
    // A watch on the program image stamped earlier, when the process still runs it: the bytes
    // at the stamp's address of its current memory are the stamp's. Nothing otherwise.
    [[nodiscard]] std::optional<image_watch_t> watch_image(const exec_stamp_t& earlier) const;

  private:
    pinned_process_t(pid_t pid, uid_t uid, unique_fd proc_dir, unique_fd pidfd,
                     std::uint64_t start_time)
        : pid_(pid),
          uid_(uid),
          proc_dir_(std::move(proc_dir)),
          pidfd_(std::move(pidfd)),
          start_time_(start_time) {}

    pid_t pid_;
    uid_t uid_;
    unique_fd proc_dir_;
    unique_fd pidfd_;  // our own duplicate of the token's; invalid when the token had none
    std::uint64_t start_time_;
};

}  // namespace code_signing
