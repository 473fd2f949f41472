#include "core/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/malloced.h"
#include "base/trace.h"
#include "base/trace_file.h"
#include "base/unique_fd.h"
#include "platform/posix/accounts.h"
#include "platform/posix/write_all.h"

namespace {

trace_file_t g_the_trace_file;

// Opens name (relative to directory, or as a path with AT_FDCWD) for reading and writing,
// creating it with mode, and closes it at once.
bool probe(int directory, const std::string& name, mode_t mode) {
    int fd = ::openat(directory, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

constexpr const char* k_system_trace_dir = "/var/log";
constexpr const char* k_system_trace_name = "corvana.trace";
constexpr const char* k_system_trace_path = "/var/log/corvana.trace";

// Nobody but root can change it: owned by root, writable neither by others nor by a group other
// than root's.
bool only_root_writes(const struct stat& status) {
    return status.st_uid == 0 && (status.st_mode & S_IWOTH) == 0 &&
           ((status.st_mode & S_IWGRP) == 0 || status.st_gid == 0);
}

std::string describe(const struct stat& status) {
    char text[128];
    std::snprintf(text, sizeof text, "%lu names, owner uid %u, mode %04o",
                  static_cast<unsigned long>(status.st_nlink), static_cast<unsigned>(status.st_uid),
                  static_cast<unsigned>(status.st_mode & 07777));
    return text;
}

// Keeps what the old file said: its last part, as much as trimming keeps of the trace, from the
// start of a line, and ending in a line break. Reads no more than that, however large the file was
// made or grows meanwhile.
void copy_tail(int from, off_t size, int to) {
    const auto kept = static_cast<off_t>(k_trace_kept_tail);
    off_t offset = size > kept ? size - kept : 0;
    bool line_started = offset == 0;
    char last = '\n';
    char buffer[65536];
    while (offset < size) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<off_t>(size - offset, sizeof buffer));
        const ssize_t got = ::pread(from, buffer, wanted, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        offset += got;
        const char* start = buffer;
        const char* end = buffer + got;
        if (!line_started) {
            const void* line_feed = std::memchr(buffer, '\n', static_cast<std::size_t>(got));
            if (line_feed == nullptr) {
                continue;
            }
            start = static_cast<const char*>(line_feed) + 1;
            line_started = true;
        }
        if (start < end && !write_all(to, start, static_cast<std::size_t>(end - start)).ok()) {
            return;
        }
        if (start < end) {
            last = end[-1];
        }
    }
    if (last != '\n') {
        (void)write_all(to, "\n", 1);
    }
}

// The daemon's trace in /var/log, when a user could make it useless: more than one name (a hard
// link a user made while it was writable makes the writer refuse it, and so would silence the
// daemon), or writable by a user (who could forge or cut lines, or link it, also through a
// descriptor opened while it was writable). As root, in a /var/log that only root can change, the
// name is taken from that file and given to a new one, root's alone, so nobody races the
// replacement and no link is followed; the old inode stays with whoever linked or opened it. Its
// lines are copied over (the history an administrator reads), and the note says that anyone could
// have written them. Anything other than a regular file there was put by root and is left alone.
// Gives the descriptor of the new file, or -1.
int replace_system_trace(std::string& note) {
    if (::geteuid() != 0) {
        return -1;
    }
    unique_fd directory(
        ::open(k_system_trace_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat dir_status {};
    if (!directory || ::fstat(directory.get(), &dir_status) != 0 || !only_root_writes(dir_status)) {
        return -1;
    }
    unique_fd old(::openat(directory.get(), k_system_trace_name,
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat old_status {};
    if (!old || ::fstat(old.get(), &old_status) != 0 || !S_ISREG(old_status.st_mode) ||
        ::unlinkat(directory.get(), k_system_trace_name, 0) != 0) {
        return -1;
    }
    unique_fd fresh(::openat(directory.get(), k_system_trace_name,
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fresh || ::fchmod(fresh.get(), 0644) != 0) {
        return -1;
    }
    copy_tail(old.get(), old_status.st_size, fresh.get());
    note = std::string("replaced ") + k_system_trace_path + " (it had " + describe(old_status) +
           "): a file others can write or link could be used to forge or silence this trace; "
           "the lines before this run's start line were copied from it, and anyone could "
           "have written them";
    return fresh.release();
}

// Opens the daemon's trace in /var/log the way the writer would, and hands the writer that very
// descriptor, so nothing can change between the choice and the first line. Created 0644: written
// by root alone. Gives the descriptor, or -1 for the fallback, with the reason in note when the
// file was there but refused.
int open_system_trace(std::string& note) {
    int descriptor = trace_file_open(AT_FDCWD, k_system_trace_path, 0644);
    if (descriptor < 0 && errno != EMLINK) {
        // A link or a directory there was put by root; it is not followed, but it is said why.
        if (errno == EINVAL || errno == ELOOP) {
            note = std::string("refused ") + k_system_trace_path + ": it is not a regular file";
        }
        return -1;
    }
    struct stat status {};
    if (descriptor >= 0 && ::fstat(descriptor, &status) == 0 &&
        (::geteuid() != 0 || only_root_writes(status))) {
        return descriptor;
    }
    unique_fd refused(descriptor);
    int replaced = replace_system_trace(note);
    if (replaced >= 0) {
        return replaced;
    }
    if (descriptor >= 0) {
        return refused.release();  // writable by others, but it can't be helped: still written
    }
    struct stat linked {};
    ::lstat(k_system_trace_path, &linked);
    note = std::string("refused ") + k_system_trace_path + " (" + describe(linked) +
           "): the trace is never written to a file with more than one name, and this one "
           "could not be replaced";
    return -1;
}

std::string user_name_for_uid(uid_t uid) {
    const auto account = account_of(uid);
    return account ? account->name : "";
}

// The user of the active session on seat0, as the login manager knows it.
std::string seat_user() {
    char* session = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &session, &uid) < 0) {
        return "";
    }
    const malloced_ptr<char> owned(session);
    return user_name_for_uid(uid);
}

// Without a login manager: the first user logged in on a terminal, from utmp.
std::string utmp_user() {
    std::string name;
    ::setutxent();
    while (const utmpx* entry = ::getutxent()) {
        if (entry->ut_type == USER_PROCESS && entry->ut_user[0] != '\0') {
            name.assign(entry->ut_user, ::strnlen(entry->ut_user, sizeof entry->ut_user));
            break;
        }
    }
    ::endutxent();
    return name;
}

}  // namespace

std::string console_user_name() {
    std::string name = seat_user();
    if (name.empty()) {
        name = utmp_user();
    }
    return name.empty() ? "<unknown>" : name;
}

std::string home_directory_for_user(const std::string& name) {
    const auto account = account_named(name);
    return account ? account->home : "";
}

std::string prepare_trace_file() {
    trace_file_init(&g_the_trace_file);
    g_trace_file = &g_the_trace_file;

    std::string note;
    int descriptor = open_system_trace(note);
    if (descriptor == 0) {
        // Standard input was closed: that number stays taken, the file is opened again.
        descriptor = open_system_trace(note);
    }
    if (descriptor > 0) {
        g_trace_dir = string_t("/var/log/");
        g_the_trace_file.descriptor = descriptor;
    } else {
        std::string home;
        if (::getuid() != 0) {
            home = home_directory_for_user(user_name_for_uid(::getuid()));
        } else {
            home = home_directory_for_user(console_user_name());
        }
        if (home.empty()) {
            const char* env = std::getenv("HOME");
            home = (env != nullptr && *env != '\0') ? env : "/tmp";
        }
        g_trace_dir = string_t(home);
        g_trace_dir = trace_dir_join(string_t(".corvana"));
        if (::mkdir(g_trace_dir.c_str(), 0755) != 0 && errno != EEXIST) {
            std::abort();
        }
        // The directory lies in a user's home: a link planted there would have root create files
        // wherever it points. It is refused like any other thing that is not a directory, and
        // the directory is held open, so every later open of the trace goes through it even if
        // the name is swapped for a link afterwards.
        int directory =
            ::open(g_trace_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (directory < 0 || !probe(directory, ".corvana.trace", 0644)) {
            std::abort();
        }
        g_the_trace_file.directory = directory;
    }
    g_trace_file->path = trace_dir_join(string_t("corvana.trace"));
    g_trace_component = "helper";
    if (!note.empty()) {
        // Where the trace went is not yet known to whoever reads only the system trace: the
        // service manager's journal keeps standard error.
        std::fprintf(stderr, "%s; tracing to %s\n", note.c_str(), g_trace_file->path.c_str());
    }
    return note;
}
