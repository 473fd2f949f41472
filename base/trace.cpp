#include "base/trace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "base/hidden_text.h"

trace_file_t* g_trace_file = nullptr;
string_t g_trace_dir;
const char* g_trace_component = nullptr;

namespace {

constexpr const char* k_level_names[] = {"explode", "auth", "crash", "error",
                                         "warning", "info", "debug", "internal"};
constexpr int k_explode = 1;

constexpr std::size_t k_format_size = 1024;
constexpr std::size_t k_message_size = 1024;
constexpr std::size_t k_thread_name_size = 32;
constexpr std::size_t k_line_size = 1152;

constexpr off_t k_trim_above = 1048576;
constexpr std::size_t k_kept_tail = 943719;

const char* level_name(int level) {
    if (level < 1 || level > 8) {
        return "invalid";
    }
    return k_level_names[level - 1];
}

class mutex_guard {
  public:
    explicit mutex_guard(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~mutex_guard() { pthread_mutex_unlock(mutex_); }
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;

  private:
    pthread_mutex_t* mutex_;
};

// Exclusive whole-file lock; it serialises the writers of all processes that share the file.
class file_lock {
  public:
    explicit file_lock(int descriptor) : descriptor_(descriptor) { flock(descriptor_, LOCK_EX); }
    ~file_lock() { flock(descriptor_, LOCK_UN); }
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;

  private:
    int descriptor_;
};

class descriptor_guard {
  public:
    explicit descriptor_guard(int descriptor) : descriptor_(descriptor) {}
    ~descriptor_guard() {
        if (descriptor_ > 0) {
            close(descriptor_);
        }
    }
    descriptor_guard(const descriptor_guard&) = delete;
    descriptor_guard& operator=(const descriptor_guard&) = delete;
    int release() { return std::exchange(descriptor_, -1); }

  private:
    int descriptor_;
};

struct free_deleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

// A root daemon may append to a file in a user's home: a file that is not a plain regular file
// with a single name (a planted hard link to a system file, a FIFO that would block every
// writer) is refused like a planted symbolic link. Sets errno when it refuses.
bool safe_to_append(int descriptor) {
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return false;
    }
    if (status.st_nlink > 1) {
        errno = EMLINK;
        return false;
    }
    return true;
}

// Opens the trace file on first use; gives the descriptor, or 0 when the file can't be had.
int open_if_needed(trace_file_t* file) {
    mutex_guard guard(&file->lock);
    if (file->descriptor != 0) {
        return file->descriptor;
    }
    int descriptor = open(file->path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
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
    descriptor_guard opened(descriptor);
    if (!safe_to_append(descriptor)) {
        int error = errno;
        dprintf(STDOUT_FILENO, "Error opening logfile (%d)", error);
        dprintf(STDERR_FILENO, "Could not create the logfile (%d)", error);
        return 0;
    }
    lseek(descriptor, 0, SEEK_END);
    file->descriptor = opened.release();
    return file->descriptor;
}

void write_all(int descriptor, const char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(descriptor, bytes, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            dprintf(STDOUT_FILENO, "Write failed (%d)\n", errno);
            return;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Keeps the tail of a file that grew past 1 MiB, from the first line feed of the last 943,719
// bytes. Runs under the file lock.
void trim(int descriptor, off_t size) {
    std::unique_ptr<char, free_deleter> tail(static_cast<char*>(std::malloc(k_kept_tail)));
    if (!tail) {
        return;  // logging never fails its caller; the next line tries again
    }
    const off_t start = size - static_cast<off_t>(k_kept_tail);
    std::size_t read_bytes = 0;
    while (read_bytes < k_kept_tail) {
        ssize_t got = pread(descriptor, tail.get() + read_bytes, k_kept_tail - read_bytes,
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

// Holding the process's lock as well as the file lock keeps the threads of this process, which
// share one descriptor and so are not told apart by flock, from interleaving their lines or
// appending while a trim moves the tail.
void append_and_trim(trace_file_t* file, const char* line, std::size_t length) {
    mutex_guard guard(&file->lock);
    const int descriptor = file->descriptor;
    if (descriptor == 0) {
        return;
    }
    file_lock locked(descriptor);
    lseek(descriptor, 0, SEEK_END);
    write_all(descriptor, line, length);
    off_t size = lseek(descriptor, 0, SEEK_END);
    if (size < 0) {
        dprintf(STDOUT_FILENO, "ERROR: %d", errno);
        return;
    }
    if (size > k_trim_above) {
        trim(descriptor, size);
    }
}

void current_thread_name(char (&name)[k_thread_name_size]) {
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
        name[0] = '\0';
    }
    name[sizeof name - 1] = '\0';
    if (std::strcmp(name, "corvana") == 0) {
        std::strcpy(name, "main");
    }
}

void trace_vlog_checked(trace_t* trace, int level, const char* format, va_list args) {
    if (trace == nullptr || !trace->enabled) {
        return;
    }
    const char* scope = trace_scope_name(trace);
    trace_write(g_trace_file, level, scope, format, args);
}

}  // namespace

void trace_file_init(trace_file_t* file) {
    file->path = string_t();
    file->descriptor = 0;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&file->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void trace_release(trace_t* trace) {
    if (trace->name != nullptr && trace->name_source != nullptr) {
        std::free(trace->name);
    }
    if (trace->name_source != nullptr) {
        trace->name = nullptr;
    }
}

const char* trace_scope_name(trace_t* trace) {
    std::atomic_ref<char*> name(trace->name);
    if (char* known = name.load(std::memory_order_acquire); known != nullptr) {
        return known;
    }
    if (trace->name_source == nullptr) {
        return nullptr;
    }
    // The caller's format may lie in this very buffer, and the source may expand a text into it.
    char saved[k_hidden_text_buffer_size];
    std::memcpy(saved, hidden_text_buffer, sizeof saved);
    const char* produced = trace->name_source();
    char* copy = produced == nullptr ? nullptr : strdup(produced);
    std::memcpy(hidden_text_buffer, saved, sizeof saved);
    if (copy == nullptr) {
        return nullptr;
    }
    // Two threads may resolve the same context at once: the first copy stays, the other goes.
    char* expected = nullptr;
    if (!name.compare_exchange_strong(expected, copy, std::memory_order_acq_rel)) {
        std::free(copy);
        return expected;
    }
    return copy;
}

void trace_write(trace_file_t* file, int level, const char* scope, const char* format,
                 va_list args) {
    const int descriptor = file == nullptr ? 0 : open_if_needed(file);
    if (descriptor == 0) {
        dprintf(STDERR_FILENO, "Logging error.");
        return;
    }

    char rewritten[k_format_size];
    std::snprintf(rewritten, sizeof rewritten, "%s", format == nullptr ? "" : format);
    rewrite_wide_string_conversions(rewritten);

    char message[k_message_size];
    if (std::vsnprintf(message, sizeof message, rewritten, args) < 0) {
        message[0] = '\0';
    }

    // One reading for both the seconds and the milliseconds, so a second that ends between two
    // readings can't put a stamp a whole second off.
    struct timeval now {};
    gettimeofday(&now, nullptr);
    const std::time_t seconds = now.tv_sec;
    struct tm utc {};
    gmtime_r(&seconds, &utc);

    char thread_name[k_thread_name_size];
    current_thread_name(thread_name);

    char line[k_line_size];
    const int composed =
        std::snprintf(line, sizeof line,
                      "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n",
                      level_name(level), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                      utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(now.tv_usec / 1000),
                      g_trace_component == nullptr ? "" : g_trace_component, thread_name,
                      static_cast<unsigned>(getpid()), static_cast<unsigned long long>(gettid()),
                      "", scope == nullptr ? "(null)" : scope, message);
    std::size_t length = 0;
    if (composed > 0) {
        length = static_cast<std::size_t>(composed) < sizeof line
                     ? static_cast<std::size_t>(composed)
                     : sizeof line - 1;
    }

    append_and_trim(file, line, length);

    if (level == k_explode) {
        std::abort();
    }
}

void trace_vlog(trace_t* trace, int level, const char* format, va_list args) {
    trace_vlog_checked(trace, level, format, args);
}

#define CORVANA_TRACE_ENTRY(function, level)                 \
    void function(trace_t* trace, const char* format, ...) { \
        va_list args;                                        \
        va_start(args, format);                              \
        trace_vlog_checked(trace, level, format, args);      \
        va_end(args);                                        \
    }

CORVANA_TRACE_ENTRY(trace_info, k_trace_info)
CORVANA_TRACE_ENTRY(trace_warning, k_trace_warning)
CORVANA_TRACE_ENTRY(trace_error, k_trace_error)
CORVANA_TRACE_ENTRY(trace_info_unchecked, k_trace_info)
CORVANA_TRACE_ENTRY(trace_warning_unchecked, k_trace_warning)
CORVANA_TRACE_ENTRY(trace_error_unchecked, k_trace_error)

string_t trace_dir_join(const string_t& name) {
    if (name.empty()) {
        return g_trace_dir;
    }
    std::string joined;
    joined.reserve(g_trace_dir.length() + 1 + name.length());
    joined.append(g_trace_dir.view()).append("/").append(name.view());
    return string_t(joined);
}
