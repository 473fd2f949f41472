#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tests {

struct command_result {
    int exit_code = -1;  // -1 when the program could not be run or was killed
    std::string out;
    std::string err;
};

// Runs argv[0] (an absolute path) with the given arguments, waits for it and captures both output
// streams. extra_env entries ("NAME=value") are added to the environment.
command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env = {});

// A child process that a test starts and that is killed and reaped when the object goes away.
class child_process {
  public:
    explicit child_process(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once the child has ended by itself within the time, else nothing.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    void kill(int signal);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace tests
