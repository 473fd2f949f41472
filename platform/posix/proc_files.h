#pragma once

#include <sys/types.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/posix/result.h"

// Readers of the kernel's per-process files under /proc. Those files report no size and hold
// text the process itself partly chooses (its command name), so every reader is bounded and
// parses defensively.
namespace proc_files {

inline std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The whole text as one number, or nothing: a pure look-up, which fails on nothing but the text.
template <class T>
std::optional<T> parse_number(std::string_view text, int base = 10) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The next blank-separated field of line, which is advanced past it; empty at the end.
std::string_view next_field(std::string_view& line);

// The value of a "Name:\tvalue" line of a status file, or nothing when there is none.
std::optional<std::string_view> status_field(std::string_view status, std::string_view name);

// The start time (in clock ticks since boot) of the process whose /proc directory is open at
// proc_dir: with the pid, it names one process for the life of the system.
result<std::uint64_t> read_start_time(int proc_dir);

// The same for a pid.
result<std::uint64_t> start_time_of(pid_t pid);

}  // namespace proc_files
