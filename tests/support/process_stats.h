#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace tests {

// What a running process holds, read from /proc: open descriptors, threads and resident memory.
struct process_stats {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    std::size_t rss_kib = 0;  // VmRSS
    double cpu_seconds = 0;   // user and system time so far
};

// Nothing once the process is gone (or is a zombie).
std::optional<process_stats> read_process_stats(pid_t pid);

// True while some process has text inside one of the arguments of its command line.
bool process_running_with(const std::string& text);

// The descriptors of the process, one "N -> target" line each, for failure messages.
std::string describe_descriptors(pid_t pid);

// Reads the figures until done accepts them or the time runs out; answers the last reading.
std::optional<process_stats> wait_for_stats(pid_t pid,
                                            const std::function<bool(const process_stats&)>& done,
                                            std::chrono::milliseconds timeout);

// Reads the figures until the thread and descriptor counts have stayed the same for quiet, or
// the time runs out; answers the last reading.
std::optional<process_stats> wait_until_settled(pid_t pid, std::chrono::milliseconds quiet,
                                                std::chrono::milliseconds timeout);

}  // namespace tests
