#include "platform/codesign/code_signing_process.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/proc_files.h"
#include "platform/posix/small_file.h"

namespace code_signing {

namespace {

using proc_files::as_text;
using proc_files::next_field;
using proc_files::parse_number;
using proc_files::status_field;

// /proc files report no size; these bound what one read may take. The kernel writes maps and
// smaps as they are read, a line (or 25) per mapping, and a process can hold 65,530 mappings:
// read whole, that is 3 MB and 43 MB of text, 50 ms and 400 ms of the helper's time. 256 KiB of
// maps is some 2,500 mappings of files (5,000 anonymous ones), more than a client has; its smaps
// then fit in 4 MiB.
constexpr std::size_t k_max_status_size = 64 * 1024;
constexpr std::size_t k_max_maps_size = 256 * 1024;
constexpr std::size_t k_max_smaps_size = 4 * 1024 * 1024;
// Processes compared between two looks at the time.
constexpr std::size_t k_processes_between_stops = 1024;
constexpr std::size_t k_max_auxv_size = 4096;
constexpr unsigned long k_auxv_random = 25;  // AT_RANDOM
// A process with more threads than this is not a client we can vouch for: each costs a read of
// its status (about 10 µs), and a client can start as many as its user's limit allows.
constexpr std::size_t k_max_threads = 1024;

struct dir_closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// A status file read through dirfd names a tracer: yes, no, or nothing when unreadable.
std::optional<bool> has_tracer(int dirfd, const char* status_name) {
    auto status = read_small_file_at(dirfd, status_name, k_max_status_size);
    if (!status) {
        return std::nullopt;
    }
    auto tracer = status_field(as_text(*status), "TracerPid");
    if (!tracer) {
        return std::nullopt;
    }
    auto pid = parse_number<long>(*tracer);
    if (!pid) {
        return std::nullopt;
    }
    return *pid != 0;
}

std::optional<pid_t> pid_of_pidfd(int pidfd) {
    std::string path = "/proc/self/fdinfo/" + std::to_string(pidfd);
    auto info = read_small_file(path, k_max_status_size);
    if (!info) {
        return std::nullopt;
    }
    auto field = status_field(as_text(*info), "Pid");
    return field ? parse_number<pid_t>(*field) : std::nullopt;
}

// glibc 2.36 declares pidfd_send_signal without C linkage in C++: call the kernel directly.
bool pidfd_alive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0U) == 0;
}

struct mapping_t {
    std::string_view range;  // "start-end", hex
    bool executable = false;
    bool writable = false;
    std::uint64_t offset = 0;  // in the file
    dev_t device = 0;
    ino_t inode = 0;
    std::string_view path;
};

// "start-end perms offset major:minor inode [path]"
std::optional<mapping_t> parse_mapping(std::string_view line) {
    mapping_t mapping;
    mapping.range = next_field(line);
    std::string_view perms = next_field(line);
    auto offset = parse_number<std::uint64_t>(next_field(line), 16);
    std::string_view device = next_field(line);
    std::string_view inode = next_field(line);
    std::size_t colon = device.find(':');
    if (mapping.range.empty() || perms.size() < 4 || colon == std::string_view::npos) {
        return std::nullopt;
    }
    auto major_number = parse_number<unsigned>(device.substr(0, colon), 16);
    auto minor_number = parse_number<unsigned>(device.substr(colon + 1), 16);
    auto inode_number = parse_number<unsigned long long>(inode);
    if (!offset || !major_number || !minor_number || !inode_number) {
        return std::nullopt;
    }
    mapping.offset = *offset;
    mapping.executable = perms[2] == 'x';
    mapping.writable = perms[1] == 'w';
    mapping.device = makedev(*major_number, *minor_number);
    mapping.inode = static_cast<ino_t>(*inode_number);
    std::size_t path_start = line.find_first_not_of(' ');
    mapping.path =
        path_start == std::string_view::npos ? std::string_view() : line.substr(path_start);
    return mapping;
}

// map_files names a mapping by its addresses without the zero padding that maps shows.
std::optional<std::string> map_files_name(std::string_view range) {
    std::size_t dash = range.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    auto start = parse_number<unsigned long long>(range.substr(0, dash), 16);
    auto end = parse_number<unsigned long long>(range.substr(dash + 1), 16);
    if (!start || !end) {
        return std::nullopt;
    }
    char name[64];
    std::snprintf(name, sizeof name, "map_files/%llx-%llx", *start, *end);
    return std::string(name);
}

// The mapped file itself when map_files can give it; otherwise the file at the mapping's path,
// only if it is still the very inode that is mapped.
std::optional<struct stat> mapped_file(int proc_dir, const mapping_t& mapping) {
    struct stat info {};
    if (auto name = map_files_name(mapping.range)) {
        unique_fd file(::openat(proc_dir, name->c_str(), O_PATH | O_CLOEXEC));
        if (file && ::fstat(file.get(), &info) == 0) {
            return info;
        }
    }
    if (mapping.path.empty() || mapping.path.front() != '/') {
        return std::nullopt;
    }
    if (::stat(std::string(mapping.path).c_str(), &info) != 0 || info.st_dev != mapping.device ||
        info.st_ino != mapping.inode) {
        return std::nullopt;
    }
    return info;
}

bool is_system_file(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Executable memory the kernel itself provides, which belongs to no file.
bool is_kernel_mapping(std::string_view path) {
    return path == "[vdso]" || path == "[vsyscall]" || path == "[uprobes]";
}

// The file ranges of the executable's segments that are loaded without write permission
// (program headers of a 64-bit ELF file), page-aligned at their start: a mapping of the file that
// starts within one maps that segment. Nothing when the file is not one.
struct file_range_t {
    std::uint64_t start;
    std::uint64_t end;
};
std::optional<std::vector<file_range_t>> read_only_segments(int executable) {
    constexpr std::size_t k_max_program_headers = 256;
    Elf64_Ehdr header{};
    if (::pread(executable, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr) ||
        header.e_phnum > k_max_program_headers) {
        return std::nullopt;
    }
    std::vector<Elf64_Phdr> programs(header.e_phnum);
    const auto bytes = static_cast<ssize_t>(programs.size() * sizeof(Elf64_Phdr));
    if (header.e_phoff > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        ::pread(executable, programs.data(), static_cast<std::size_t>(bytes),
                static_cast<off_t>(header.e_phoff)) != bytes) {
        return std::nullopt;
    }
    std::vector<file_range_t> ranges;
    for (const auto& program : programs) {
        if (program.p_type == PT_LOAD && (program.p_flags & PF_W) == 0 &&
            program.p_offset <= std::numeric_limits<std::uint64_t>::max() - program.p_filesz) {
            ranges.push_back(
                {program.p_offset & ~std::uint64_t{4095}, program.p_offset + program.p_filesz});
        }
    }
    // A file page a writable segment begins in is mapped once more for it, and that mapping
    // (relocated, then made read-only: RELRO) starts at the page: ranges end before it.
    for (const auto& program : programs) {
        if (program.p_type == PT_LOAD && (program.p_flags & PF_W) != 0) {
            const std::uint64_t page = program.p_offset & ~std::uint64_t{4095};
            for (auto& range : ranges) {
                if (page >= range.start && page < range.end) {
                    range.end = page;
                }
            }
        }
    }
    return ranges;
}

// Whether a field line of smaps ("Anonymous:      0 kB") reports nothing.
bool reports_zero(std::string_view value) {
    return next_field(value) == "0";
}

// The bytes of page tables the process holds (VmPTE of its status), nothing when unreadable.
std::optional<std::uint64_t> page_table_bytes(int proc_dir) {
    auto status = read_small_file_at(proc_dir, "status", k_max_status_size);
    if (!status) {
        return std::nullopt;
    }
    auto field = status_field(as_text(*status), "VmPTE");
    if (!field) {
        return std::nullopt;
    }
    std::string_view value = *field;
    auto kib = parse_number<std::uint64_t>(next_field(value));
    if (!kib || *kib > std::numeric_limits<std::uint64_t>::max() / 1024) {
        return std::nullopt;
    }
    return *kib * 1024;
}

std::optional<std::uint64_t> random_bytes_address(int proc_dir) {
    auto auxv = read_small_file_at(proc_dir, "auxv", k_max_auxv_size);
    if (!auxv) {
        return std::nullopt;
    }
    // Pairs of native words, type then value, ending with AT_NULL.
    constexpr std::size_t word = sizeof(unsigned long);
    for (std::size_t at = 0; at + 2 * word <= auxv->size(); at += 2 * word) {
        unsigned long type = 0;
        unsigned long value = 0;
        std::memcpy(&type, auxv->data() + at, word);
        std::memcpy(&value, auxv->data() + at + word, word);
        if (type == 0) {
            break;
        }
        if (type == k_auxv_random) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<exec_stamp_t> read_stamp(int memory, std::uint64_t address) {
    if (memory < 0 || address > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return std::nullopt;
    }
    exec_stamp_t stamp;
    stamp.address = address;
    ssize_t n =
        ::pread(memory, stamp.bytes.data(), stamp.bytes.size(), static_cast<off_t>(address));
    if (n != static_cast<ssize_t>(stamp.bytes.size())) {
        return std::nullopt;
    }
    return stamp;
}

unique_fd open_memory(int proc_dir) {
    return unique_fd(::openat(proc_dir, "mem", O_RDONLY | O_CLOEXEC));
}

}  // namespace

std::optional<pinned_process_t> pinned_process_t::pin(const audit_token_t& token) {
    if (token.pid <= 0 || (token.pidfd < 0 && token.start_time == 0)) {
        return std::nullopt;
    }
    unique_fd pidfd;
    if (token.pidfd >= 0) {
        pidfd.reset(::fcntl(token.pidfd, F_DUPFD_CLOEXEC, 3));
        if (!pidfd || pid_of_pidfd(pidfd.get()) != token.pid) {
            return std::nullopt;
        }
    }
    std::string path = "/proc/" + std::to_string(token.pid);
    unique_fd proc_dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc_dir) {
        return std::nullopt;
    }
    auto start_time = proc_files::read_start_time(proc_dir.get());
    if (!start_time || (token.start_time != 0 && *start_time != token.start_time)) {
        return std::nullopt;
    }
    // The pidfd was taken when the peer connected. Alive now, after the directory was opened, it
    // proves the PID was never free in between, so the directory is that process's.
    if (pidfd && !pidfd_alive(pidfd.get())) {
        return std::nullopt;
    }
    return pinned_process_t(token.pid, token.uid, std::move(proc_dir), std::move(pidfd),
                            *start_time);
}

bool pinned_process_t::still_alive() const {
    auto start_time = proc_files::read_start_time(proc_dir_.get());
    if (!start_time || *start_time != start_time_) {
        return false;
    }
    return !pidfd_ || pidfd_alive(pidfd_.get());
}

unique_fd pinned_process_t::open_executable() const {
    return unique_fd(::openat(proc_dir_.get(), "exe", O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

std::optional<std::string> pinned_process_t::executable_path() const {
    std::string path(PATH_MAX, '\0');
    ssize_t length = ::readlinkat(proc_dir_.get(), "exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
        return std::nullopt;
    }
    path.resize(static_cast<std::size_t>(length));
    return path;
}

bool pinned_process_t::is_traced(const std::function<bool()>& stop) const {
    if (has_tracer(proc_dir_.get(), "status") != false) {
        return true;
    }
    // A tracer attaches to single threads: every thread of the process must be free of one.
    unique_fd tasks(::openat(proc_dir_.get(), "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tasks) {
        return true;
    }
    dir_ptr directory(::fdopendir(tasks.get()));
    if (!directory) {
        return true;
    }
    int tasks_fd = tasks.release();  // the directory stream owns it now
    std::size_t threads = 0;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string_view name = entry->d_name;
        auto tid = parse_number<pid_t>(name);
        if (!tid) {
            continue;
        }
        if (++threads > k_max_threads ||
            (threads % k_processes_between_stops == 0 && stop && stop())) {
            return true;
        }
        if (*tid == pid_) {
            continue;  // the process's own status, read above
        }
        std::string status = std::string(name) + "/status";
        auto traced = has_tracer(tasks_fd, status.c_str());
        // A thread that ended while we looked has no tracer any more; any other failure counts.
        if (traced == true || (!traced && ::faccessat(tasks_fd, name.data(), F_OK, 0) == 0)) {
            return true;
        }
    }
    return false;
}

bool pinned_process_t::maps_only_system_code(int main_executable,
                                             const std::function<bool()>& stop) const {
    struct stat main {};
    auto read_only = read_only_segments(main_executable);
    auto maps = read_small_file_at(proc_dir_.get(), "maps", k_max_maps_size);
    if (::fstat(main_executable, &main) != 0 || !read_only || !maps) {
        return false;
    }
    const dev_t main_device = main.st_dev;
    const ino_t main_inode = main.st_ino;
    // Whose files are mapped: decided from the list alone, before any page is looked at.
    // Over a stacking file system (overlayfs) the line names the file the process opened while
    // map_files leads to the file underneath: either may match the main executable.
    std::vector<std::pair<dev_t, ino_t>> vetted{{main_device, main_inode}};
    std::vector<std::pair<dev_t, ino_t>> main_keys{{main_device, main_inode}};
    std::string_view text = as_text(*maps);
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) {
            continue;
        }
        auto mapping = parse_mapping(line);
        if (!mapping) {
            return false;
        }
        if (!mapping->executable) {
            continue;
        }
        // Anonymous executable memory is code that came from no file at all.
        if (mapping->inode == 0) {
            if (!is_kernel_mapping(mapping->path)) {
                return false;
            }
            continue;
        }
        auto key = std::make_pair(mapping->device, mapping->inode);
        if (std::find(vetted.begin(), vetted.end(), key) != vetted.end()) {
            continue;
        }
        auto info = mapped_file(proc_dir_.get(), *mapping);
        if (!info) {
            return false;
        }
        bool is_main = info->st_dev == main_device && info->st_ino == main_inode;
        if (!is_main && !is_system_file(*info)) {
            return false;
        }
        vetted.push_back(key);
        if (is_main) {
            main_keys.push_back(key);
        }
    }

    // Now the pages. A private copy of a file page (written through /proc/PID/mem, ptrace or
    // after mprotect) is an anonymous page, which smaps counts under "Anonymous:" while it is in
    // memory and under "Swap:" once swapped out; file pages are neither. The kernel walks only
    // the page tables that exist, so what this costs is bounded by the page tables the process
    // holds (VmPTE), and those are bounded first.
    auto tables = page_table_bytes(proc_dir_.get());
    if (!tables || *tables > k_max_page_tables || (stop && stop())) {
        return false;
    }
    auto smaps = read_small_file_at(proc_dir_.get(), "smaps", k_max_smaps_size);
    if (!smaps) {
        return false;
    }
    text = as_text(*smaps);
    // The fields read belong to an executable mapping, or to one of the signed executable's
    // read-only data: a private copy there is data rewritten (by a tracer while the process was
    // still dumpable, say).
    bool judged = false;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::string_view rest = line;
        std::string_view first = next_field(rest);
        if (first.empty()) {
            continue;
        }
        if (first.back() == ':') {
            if (judged && (first == "Anonymous:" || first == "Swap:") && !reports_zero(rest)) {
                return false;
            }
            continue;
        }
        auto mapping = parse_mapping(line);
        if (!mapping) {
            return false;
        }
        // Whose file it is was judged from the list above; a mapping made since then is the
        // client's own doing, like one made after admission.
        const bool read_only_data =
            !mapping->executable && !mapping->writable &&
            std::find(main_keys.begin(), main_keys.end(),
                      std::make_pair(mapping->device, mapping->inode)) != main_keys.end() &&
            std::any_of(read_only->begin(), read_only->end(), [&](const file_range_t& range) {
                return mapping->offset >= range.start && mapping->offset < range.end;
            });
        judged = (mapping->executable && !is_kernel_mapping(mapping->path)) || read_only_data;
    }
    return true;
}

bool pinned_process_t::shares_memory(const std::function<bool()>& stop) const {
    unique_fd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    dir_ptr directory(proc ? ::fdopendir(proc.get()) : nullptr);
    if (!directory) {
        return true;
    }
    proc.release();  // the directory stream owns it now
    // The comparison must work at all (a system-call filter could refuse it) and the client be
    // open to it, or nothing below would mean anything.
    if (::syscall(SYS_kcmp, pid_, pid_, KCMP_VM, 0UL, 0UL) != 0) {
        return true;
    }
    std::size_t compared = 0;
    while (const dirent* entry = ::readdir(directory.get())) {
        auto pid = parse_number<pid_t>(std::string_view(entry->d_name));
        if (!pid || *pid == pid_) {
            continue;
        }
        if (++compared % k_processes_between_stops == 0 && stop && stop()) {
            return true;
        }
        // Only processes are listed, not the threads of one: threads share memory by nature.
        // A process that has gone can't share anything; one we may not look at (an LSM's
        // protected process, say) holds other credentials than the client, which the client's
        // memory would have given any process sharing it: only an exec changes them, and an exec
        // leaves the shared memory.
        if (::syscall(SYS_kcmp, pid_, *pid, KCMP_VM, 0UL, 0UL) == 0) {
            return true;
        }
    }
    return false;
}

bool pinned_process_t::out_of_reach() const {
    // The entries of a dumpable process's /proc directory belong to its user; the kernel gives a
    // non-dumpable one's to root (of the user namespace that owns its memory).
    struct stat memory {};
    if (::fstatat(proc_dir_.get(), "mem", &memory, 0) != 0 || memory.st_uid != 0) {
        return false;
    }
    struct stat theirs {};
    struct stat ours {};
    return ::fstatat(proc_dir_.get(), "ns/user", &theirs, 0) == 0 &&
           ::stat("/proc/self/ns/user", &ours) == 0 && theirs.st_dev == ours.st_dev &&
           theirs.st_ino == ours.st_ino;
}

std::optional<exec_stamp_t> pinned_process_t::exec_stamp() const {
    auto address = random_bytes_address(proc_dir_.get());
    if (!address) {
        return std::nullopt;
    }
    return read_stamp(open_memory(proc_dir_.get()).get(), *address);
}

std::optional<image_watch_t> pinned_process_t::watch_image(const exec_stamp_t& earlier) const {
    unique_fd memory = open_memory(proc_dir_.get());
    auto now = read_stamp(memory.get(), earlier.address);
    if (!now || *now != earlier) {
        return std::nullopt;
    }
    return image_watch_t(std::move(memory), earlier);
}

bool image_watch_t::unchanged() const {
    auto now = read_stamp(memory_.get(), stamp_.address);
    return now && *now == stamp_;
}

}  // namespace code_signing
