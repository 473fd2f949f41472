#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/spawn.h"

// The description of one child process and its outcome, with the synchronous ways the helper
// runs its tools (ShellExtensions). A task is launched at most once.
class task_t {
  public:
    // Exit status given when the tool can't be started at all, as a shell reports it.
    static constexpr int k_not_found_status = 127;
    static constexpr int k_cannot_execute_status = 126;
    // A child that ignores the termination request at its time-out is killed this much later, so
    // that no call holds its thread for ever.
    static constexpr double k_kill_grace_seconds = 2.0;

    task_t() = default;
    task_t(const task_t&) = delete;
    task_t& operator=(const task_t&) = delete;

    void setLaunchPath(std::string path) { launch_path_ = std::move(path); }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::string& launchPath() const { return launch_path_; }
    const std::vector<std::string>& arguments() const { return arguments_; }

    // Runs the tool at path with arguments, its output going where the daemon's goes, and waits
    // for it. The exit status; the signal number for a child ended by a signal; 127 or 126 when
    // it can't be started.
    [[nodiscard]] static int syncExec(const std::string& path,
                                      const std::vector<std::string>& args);

    // Launches, captures standard output and waits. The output when the status is 0 and it is
    // valid UTF-8 (an empty output is an empty text); no text otherwise.
    [[nodiscard]] std::optional<std::string> syncStdOutExecute();

    // As syncStdOutExecute, but the child is asked to terminate once seconds have passed, and
    // whatever it wrote comes back whatever its status, as long as it is valid UTF-8. No text
    // when the tool can't be started.
    [[nodiscard]] std::optional<std::string> syncStdOutExecuteWithTimeout(double seconds);

    // Starts the child with standard output kept, for a caller that waits itself.
    [[nodiscard]] bool launch();
    void waitUntilExit();
    bool isRunning();
    // The child's process id once launched, else 0.
    int processIdentifier();
    // Meaningful once the child has ended.
    int terminationStatus();
    // Asks a running child to end. Safe from any thread; no effect once the child has ended.
    void terminate();

  private:
    struct captured_t {
        bool started = false;
        std::string output;
    };

    bool start(int standard_output);
    captured_t capture(std::optional<double> timeout_seconds);
    int status_locked() const;

    std::string launch_path_;
    std::vector<std::string> arguments_;

    // terminate() may come from another thread while the owner waits: the child handle and its
    // reap state are only touched under this lock, and the wait itself polls the pidfd outside it.
    mutable std::mutex lock_;
    child_process_t child_;
    bool launched_ = false;
    int launch_error_ = 0;
};

// The platform's name for the task type.
using NSTask = task_t;
