#include "tests/support/authorization_database.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/authorization/authorization.h"
#include "platform/authorization/authorization_sqlite.h"

namespace tests {

void ensure_authorization_users() {
    static const bool made = [] {
        std::system("id authadmin >/dev/null 2>&1 || useradd -M -N -s /bin/false authadmin");
        std::system("id authuser >/dev/null 2>&1 || useradd -M -N -s /bin/false authuser");
        std::system(
            "getent group admin >/dev/null || getent group sudo >/dev/null || "
            "getent group wheel >/dev/null || groupadd admin");
        std::system(
            "for g in admin sudo wheel; do if getent group $g >/dev/null; then "
            "usermod -a -G $g authadmin; break; fi; done");
        return true;
    }();
    (void)made;
}

uid_t uid_of(const char* name) {
    passwd* entry = ::getpwnam(name);
    return entry == nullptr ? static_cast<uid_t>(-1) : entry->pw_uid;
}

void remove_authorization_database() {
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        std::filesystem::remove(std::string(kAuthorizationDatabasePath) + suffix);
    }
}

void execute_on_authorization_database(const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(kAuthorizationDatabasePath, &raw), SQLITE_OK);
    sqlite_connection_t db(raw);
    ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
}

authorization_database_locker::authorization_database_locker() {
    int to_parent[2];
    int to_child[2];
    if (::pipe2(to_parent, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2";
        return;
    }
    from_child_.reset(to_parent[0]);
    unique_fd child_writes(to_parent[1]);
    if (::pipe2(to_child, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2";
        return;
    }
    unique_fd child_reads(to_child[0]);
    to_child_.reset(to_child[1]);
    child_ = ::fork();
    if (child_ < 0) {
        ADD_FAILURE() << "fork";
        return;
    }
    if (child_ == 0) {
        // The parent's ends go, or the read below would never see the end of the pipe.
        ::close(to_parent[0]);
        ::close(to_child[1]);
        sqlite3* db = nullptr;
        char ready = 0;
        if (sqlite3_open(kAuthorizationDatabasePath, &db) != SQLITE_OK ||
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            ready = 1;
        }
        if (::write(to_parent[1], &ready, 1) != 1) {
            ::_exit(1);
        }
        char release = 0;
        (void)!::read(to_child[0], &release, 1);
        ::_exit(0);
    }
    child_writes.reset();
    child_reads.reset();
    char ready = 1;
    held_ = ::read(from_child_.get(), &ready, 1) == 1 && ready == 0;
}

authorization_database_locker::~authorization_database_locker() {
    (void)release();
}

bool authorization_database_locker::release() {
    to_child_.reset();
    if (child_ <= 0) {
        return false;
    }
    int status = 0;
    const bool ended = ::waitpid(child_, &status, 0) == child_;
    child_ = -1;
    from_child_.reset();
    return ended;
}

}  // namespace tests
