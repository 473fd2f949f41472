#include "tests/support/process_stats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "tests/support/files.h"

namespace tests {
namespace {

namespace fs = std::filesystem;

std::optional<std::size_t> count_entries(const fs::path& directory) {
    std::error_code error;
    fs::directory_iterator it(directory, error);
    if (error) {
        return std::nullopt;
    }
    std::size_t count = 0;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        ++count;
    }
    return count;
}

}  // namespace

std::optional<process_stats> read_process_stats(pid_t pid) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    process_stats stats;
    bool has_rss = false;
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "State:") {
            std::string state;
            fields >> state;
            if (state == "Z" || state == "X") {
                return std::nullopt;
            }
        } else if (key == "VmRSS:") {
            has_rss = static_cast<bool>(fields >> stats.rss_kib);
        }
    }
    // Fields 14 and 15 of stat, counted after the command name, which may hold blanks.
    std::ifstream stat_file(proc / "stat");
    std::string stat_line;
    std::getline(stat_file, stat_line);
    const auto name_end = stat_line.rfind(')');
    if (name_end == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat_line.substr(name_end + 1));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            user = std::stoull(field);
        } else if (index == 15) {
            system = std::stoull(field);
        }
    }
    stats.cpu_seconds =
        static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));

    auto descriptors = count_entries(proc / "fd");
    auto threads = count_entries(proc / "task");
    if (!has_rss || !descriptors || !threads) {
        return std::nullopt;
    }
    stats.descriptors = *descriptors;
    stats.threads = *threads;
    return stats;
}

std::string describe_descriptors(pid_t pid) {
    std::string out;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code link_error;
        out += entry.path().filename().string() + " -> " +
               fs::read_symlink(entry.path(), link_error).string() + "\n";
    }
    return out;
}

std::optional<process_stats> wait_for_stats(pid_t pid,
                                            const std::function<bool(const process_stats&)>& done,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<process_stats> last;
    for (;;) {
        last = read_process_stats(pid);
        if (!last || done(*last) || std::chrono::steady_clock::now() >= deadline) {
            return last;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::optional<process_stats> wait_until_settled(pid_t pid, std::chrono::milliseconds quiet,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<process_stats> last = read_process_stats(pid);
    auto unchanged_since = std::chrono::steady_clock::now();
    while (last && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto now = read_process_stats(pid);
        if (!now) {
            return now;
        }
        if (now->threads != last->threads || now->descriptors != last->descriptors) {
            unchanged_since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - unchanged_since >= quiet) {
            return now;
        }
        last = now;
    }
    return last;
}

bool process_running_with(const std::string& text) {
    std::error_code error;
    fs::directory_iterator it("/proc", error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        if (read_file(it->path() / "cmdline").find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace tests
