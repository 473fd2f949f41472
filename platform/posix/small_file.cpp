#include "platform/posix/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"

namespace {

using bytes_t = std::vector<std::uint8_t>;

failure_t unreadable(int error) {
    return result<>::system_failure(error, std::string("can't be read: ") + std::strerror(error));
}

failure_t too_large(std::size_t max_size) {
    return result<>::system_failure(k_file_too_large,
                                    "is larger than " + std::to_string(max_size) + " bytes");
}

result<bytes_t> read_open_file(const unique_fd& fd, std::size_t max_size) {
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return unreadable(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return result<>::system_failure(k_file_not_regular, "is not a regular file");
    }
    if (static_cast<std::uint64_t>(info.st_size) > max_size) {
        return too_large(max_size);
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
                return too_large(max_size);
            }
            bytes.resize(std::min(bytes.size() * 2, max_size + 1));
        }
        ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return unreadable(errno);
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    if (used > max_size) {
        return too_large(max_size);
    }
    bytes.resize(used);
    return bytes;
}

result<bytes_t> read_opened(int raw_fd, std::size_t max_size) {
    if (raw_fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return result<>::system_failure(k_file_missing, "is missing");
        }
        return unreadable(error);
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

result<bytes_t> read_small_file(const std::string& path, std::size_t max_size,
                                symlink_policy_t links) {
    return read_opened(::open(path.c_str(), flags_for(links)), max_size);
}

result<bytes_t> read_small_file_at(int dirfd, const char* name, std::size_t max_size) {
    return read_opened(::openat(dirfd, name, k_read_flags), max_size);
}
