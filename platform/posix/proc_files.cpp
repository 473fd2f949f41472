#include "platform/posix/proc_files.h"

#include <fcntl.h>

#include <cerrno>
#include <string>

#include "base/unique_fd.h"
#include "platform/posix/small_file.h"

namespace proc_files {

namespace {

constexpr std::size_t k_max_stat_size = 4096;

}  // namespace

std::string_view next_field(std::string_view& line) {
    std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    std::size_t end = line.find(' ');
    std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return field;
}

std::optional<std::string_view> status_field(std::string_view status, std::string_view name) {
    std::size_t pos = 0;
    while (pos < status.size()) {
        std::size_t end = status.find('\n', pos);
        std::string_view line =
            status.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ':') {
            std::string_view value = line.substr(name.size() + 1);
            std::size_t first = value.find_first_not_of(" \t");
            return first == std::string_view::npos ? std::string_view() : value.substr(first);
        }
        if (end == std::string_view::npos) {
            break;
        }
        pos = end + 1;
    }
    return std::nullopt;
}

result<std::uint64_t> read_start_time(int proc_dir) {
    auto stat = read_small_file_at(proc_dir, "stat", k_max_stat_size);
    if (!stat) {
        return result<>::failure("the process's stat file can't be read");
    }
    // The command name in field 2 may hold blanks and parentheses: count from the last ')'.
    std::string_view text = as_text(*stat);
    std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) {
        return result<>::failure("the process's stat file has no command name");
    }
    std::string_view rest = text.substr(close + 1);
    std::string_view field;
    for (int number = 3; number <= 22; ++number) {
        field = next_field(rest);
        if (field.empty()) {
            return result<>::failure("the process's stat file has no start time");
        }
    }
    if (auto start = parse_number<std::uint64_t>(field)) {
        return *start;
    }
    return result<>::failure("the process's start time is not a number");
}

result<std::uint64_t> start_time_of(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid);
    unique_fd proc_dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc_dir) {
        return result<>::system_failure(errno, "could not open " + path);
    }
    return read_start_time(proc_dir.get());
}

}  // namespace proc_files
