#include "base/trace_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/malloced.h"
#include "base/unique_fd.h"

namespace {

class mutex_guard {
  public:
    explicit mutex_guard(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~mutex_guard() { pthread_mutex_unlock(mutex_); }
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;

  private:
    pthread_mutex_t* mutex_;
};

// How long a line waits for the whole-file lock before it is written without it.
constexpr int k_lock_wait_ms = 50;
constexpr int k_lock_retry_us = 1000;

// Exclusive whole-file lock; it serialises the writers of all processes that share the file.
// Anyone who can open the file can hold it, though, for ever: so it is waited for a short while
// only, and a line that can't have it is written anyway (a line is better written unlocked than
// lost or than holding up the request that logs it). Once the wait has run out, later lines
// only try, without waiting, until the lock can be had again.
class file_lock {
  public:
    file_lock(int descriptor, bool& contended) : descriptor_(descriptor) {
        int waited_us = 0;
        while (flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return;
            }
            if (contended || waited_us >= k_lock_wait_ms * 1000) {
                contended = true;
                return;
            }
            usleep(k_lock_retry_us);
            waited_us += k_lock_retry_us;
        }
        held_ = true;
        contended = false;
    }
    ~file_lock() {
        if (held_) {
            flock(descriptor_, LOCK_UN);
        }
    }
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;

    bool held() const { return held_; }

  private:
    int descriptor_;
    bool held_ = false;
};

// Gives the number of bytes written; a failure is reported and ends the line.
std::size_t write_all(int descriptor, const char* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t written = write(descriptor, bytes + done, length - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            dprintf(STDOUT_FILENO, "Write failed (%d)\n", errno);
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

// Keeps the tail of a file that grew past 1 MiB, from the first line feed of the last 943,719
// bytes. Runs under both locks.
void trim(int descriptor, off_t size) {
    malloced_ptr<char> tail(static_cast<char*>(std::malloc(k_trace_kept_tail)));
    if (!tail) {
        return;  // logging never fails its caller; the next line tries again
    }
    const off_t start = size - static_cast<off_t>(k_trace_kept_tail);
    std::size_t read_bytes = 0;
    while (read_bytes < k_trace_kept_tail) {
        ssize_t got = pread(descriptor, tail.get() + read_bytes, k_trace_kept_tail - read_bytes,
                            start + static_cast<off_t>(read_bytes));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        read_bytes += static_cast<std::size_t>(got);
    }
    if (read_bytes == 0) {
        return;
    }

    // The partial first line goes; the search never looks past what was read, and a tail with
    // no line break at all is kept whole.
    std::size_t from = 0;
    while (from < read_bytes && tail.get()[from] != '\n' && tail.get()[from] != '\0') {
        ++from;
    }
    if (from == read_bytes) {
        from = 0;
    }

    const char* bytes = tail.get() + from;
    std::size_t remaining = read_bytes - from;
    off_t kept = 0;
    while (remaining > 0) {
        ssize_t written = pwrite(descriptor, bytes, remaining, kept);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            dprintf(STDOUT_FILENO, "Write failed (%d)\n", errno);
            break;
        }
        bytes += written;
        remaining -= static_cast<std::size_t>(written);
        kept += written;
    }
    // What was written is a consistent tail; whatever lay beyond it is the old head.
    if (ftruncate(descriptor, kept) != 0) {
        dprintf(STDOUT_FILENO, "Write failed (%d)\n", errno);
    }
}

}  // namespace

namespace {

// Called with the lock held; gives the descriptor, or 0 when the file can't be had.
int open_if_needed(trace_file_t* file) {
    if (file->descriptor != 0) {
        return file->descriptor;
    }
    int descriptor = -1;
    if (file->directory >= 0) {
        std::string_view path = file->path.view();
        std::size_t slash = path.rfind('/');
        std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
        descriptor = trace_file_open(file->directory, name.c_str(), 0666);
    } else {
        descriptor = trace_file_open(AT_FDCWD, file->path.c_str(), 0666);
    }
    if (descriptor < 0) {
        int error = errno;
        dprintf(STDOUT_FILENO, "Error opening logfile (%d)", error);
        dprintf(STDERR_FILENO, "Could not create the logfile (%d)", error);
        return 0;
    }
    if (descriptor == 0) {
        // Standard input was closed. That descriptor stays taken, so the next attempt gets
        // another number.
        dprintf(STDERR_FILENO, "Could not create the logfile (%d)", errno);
        return 0;
    }
    lseek(descriptor, 0, SEEK_END);
    file->descriptor = descriptor;
    return file->descriptor;
}

// Bytes of kept lines beyond which they are written without the lock after all: someone who
// holds the lock for ever must not make the daemon hold an ever-growing backlog.
constexpr std::size_t k_kept_limit = 64 * 1024;

// Appends one line at the end of the file; under the file lock, a file that grew past 1 MiB is
// cut to its tail. Trimming moves every byte of the file: only under the lock, or another
// process's line could be lost.
void append_line(int descriptor, const char* line, std::size_t length, bool locked) {
    const off_t end = lseek(descriptor, 0, SEEK_END);
    std::size_t written = write_all(descriptor, line, length);
    // A line cut short (a full disk) is taken back: left in place, the next line written once
    // there is room again would run on from its broken end.
    if (written < length && end >= 0 && ftruncate(descriptor, end) == 0) {
        written = 0;
    }
    if (!locked) {
        return;
    }
    // Under both locks nobody else appends, so the end of what was just written is the size;
    // only when the first seek failed is the end asked for again.
    off_t size = end >= 0 ? end + static_cast<off_t>(written) : lseek(descriptor, 0, SEEK_END);
    if (size < 0) {
        dprintf(STDOUT_FILENO, "ERROR: %d", errno);
        return;
    }
    if (size > k_trace_file_limit) {
        trim(descriptor, size);
    }
}

void append_kept_lines(trace_file_t* file, int descriptor, bool locked) {
    for (const auto& kept : file->kept_lines) {
        append_line(descriptor, kept.data(), kept.size(), locked);
    }
    file->kept_lines.clear();
    file->kept_bytes = 0;
}

}  // namespace

// A root daemon may append to a file in a user's home, and any user may have made a link to the
// system trace while it was writable: whatever the writer would refuse, start-up refuses too, so
// it never settles on a file that then takes no line.
int trace_file_open(int directory, const char* name, mode_t mode) {
    unique_fd descriptor(openat(directory, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!descriptor) {
        return -1;
    }
    struct stat status {};
    int refusal = 0;
    if (fstat(descriptor.get(), &status) != 0) {
        refusal = errno;
    } else if (!S_ISREG(status.st_mode)) {
        refusal = EINVAL;
    } else if (status.st_nlink > 1) {
        refusal = EMLINK;
    }
    if (refusal != 0) {
        descriptor.reset();
        errno = refusal;
        return -1;
    }
    return descriptor.release();
}

// Holding the process's lock as well as the file lock keeps the threads of this process, which
// share one descriptor and so are not told apart by flock, from interleaving their lines or
// appending while a trim moves the tail.
bool trace_file_write(trace_file_t* file, const char* line, std::size_t length) {
    mutex_guard guard(&file->lock);
    const int descriptor = open_if_needed(file);
    if (descriptor == 0) {
        return false;
    }
    file_lock locked(descriptor, file->lock_contended);
    if (!locked.held() && file->kept_bytes + length <= k_kept_limit) {
        // Kept, in order, for the next line that has the lock: written now, without the lock,
        // it could land where another writer's line or a trim is going.
        file->kept_lines.emplace_back(line, length);
        file->kept_bytes += length;
        return true;
    }
    append_kept_lines(file, descriptor, locked.held());
    append_line(descriptor, line, length, locked.held());
    return true;
}

void trace_file_write_kept_lines(trace_file_t* file) {
    mutex_guard guard(&file->lock);
    if (file->kept_lines.empty() || file->descriptor == 0) {
        return;
    }
    file_lock locked(file->descriptor, file->lock_contended);
    append_kept_lines(file, file->descriptor, locked.held());
}
