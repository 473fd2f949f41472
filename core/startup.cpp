#include "core/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/trace.h"
#include "platform/posix/accounts.h"
#include "platform/posix/malloced.h"

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

void prepare_trace_file() {
    trace_file_init(&g_the_trace_file);
    g_trace_file = &g_the_trace_file;

    if (probe(AT_FDCWD, "/var/log/corvana.trace", 0666)) {
        g_trace_dir = string_t("/var/log/");
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
}
