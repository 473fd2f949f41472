#include "platform/posix/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/unique_fd.h"

namespace {

file_contents_t read_open_file(const unique_fd& fd, std::size_t max_size) {
    file_contents_t result;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.status = read_status::not_regular;
        return result;
    }
    if (static_cast<std::uint64_t>(info.st_size) > max_size) {
        result.status = read_status::too_large;
        return result;
    }
    // Opened without blocking for the type check only; a regular file reads the same either way.
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    // Sized by the file, not the bound: job files are read on every query, and a buffer of the
    // bound each time made the daemon's heap grow under concurrent queries. The size may change
    // while reading: the bound holds for what is read, not what was stat'ed.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (bytes.size() > max_size) {
                result.status = read_status::too_large;
                return result;
            }
            bytes.resize(std::min(bytes.size() * 2, max_size + 1));
        }
        ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return result;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    if (used > max_size) {
        result.status = read_status::too_large;
        return result;
    }
    bytes.resize(used);
    result.status = read_status::ok;
    result.bytes = std::move(bytes);
    return result;
}

file_contents_t read_opened(int raw_fd, std::size_t max_size) {
    if (raw_fd < 0) {
        file_contents_t result;
        result.status =
            (errno == ENOENT || errno == ENOTDIR) ? read_status::missing : read_status::unreadable;
        return result;
    }
    unique_fd fd(raw_fd);
    return read_open_file(fd, max_size);
}

// O_NONBLOCK keeps a FIFO planted at the path from holding the caller.
constexpr int k_read_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

int flags_for(symlink_policy_t links) {
    return links == symlink_policy_t::refuse ? k_read_flags | O_NOFOLLOW : k_read_flags;
}

}  // namespace

file_contents_t read_small_file(const std::string& path, std::size_t max_size,
                                symlink_policy_t links) {
    return read_opened(::open(path.c_str(), flags_for(links)), max_size);
}

file_contents_t read_small_file_at(int dirfd, const char* name, std::size_t max_size) {
    return read_opened(::openat(dirfd, name, k_read_flags), max_size);
}
