#pragma once

#include <sys/types.h>

#include <string>

#include "base/unique_fd.h"

// The authorization database and the users it is tested with. Must be used inside the sandbox.
namespace tests {

// "authadmin", a member of the system's administrator group, and "authuser", an ordinary user;
// made once per test program in the sandbox's /etc.
void ensure_authorization_users();

// The user's id; (uid_t)-1 when there is no such user.
uid_t uid_of(const char* name);

// Removes the database file and SQLite's files beside it.
void remove_authorization_database();

// Runs SQL on the database through a connection of its own; fails the test when it can't.
void execute_on_authorization_database(const std::string& sql);

// Another process holding the database's write lock until it is released.
class authorization_database_locker {
  public:
    // Returns once the process holds the lock or has failed to take it.
    authorization_database_locker();
    ~authorization_database_locker();
    authorization_database_locker(const authorization_database_locker&) = delete;
    authorization_database_locker& operator=(const authorization_database_locker&) = delete;

    [[nodiscard]] bool held() const { return held_; }
    // Lets go of the lock; true once the process has ended.
    [[nodiscard]] bool release();

  private:
    pid_t child_ = -1;
    unique_fd to_child_;
    unique_fd from_child_;
    bool held_ = false;
};

}  // namespace tests
