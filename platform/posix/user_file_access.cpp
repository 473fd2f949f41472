#include "platform/posix/user_file_access.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// The raw system calls: the C library's wrappers of setgroups change every thread of the
// process, and only the calling thread may act for the user.
long set_groups(std::size_t count, const gid_t* groups) {
    return ::syscall(SYS_setgroups, count, groups);
}

// The file-system IDs can't be read directly: an invalid ID changes nothing and returns the
// current one.
uid_t current_fsuid() {
    return static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1)));
}
gid_t current_fsgid() {
    return static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1)));
}

}  // namespace

result<> user_file_access_t::enter(uid_t uid, gid_t gid) {
    if (entered_) {
        return result<>::failure("already acting for a user");
    }
    const int count = ::getgroups(0, nullptr);
    if (count < 0) {
        return result<>::system_failure(errno, "can't read the thread's groups");
    }
    saved_groups_.assign(static_cast<std::size_t>(count), 0);
    if (::getgroups(count, saved_groups_.data()) != count) {
        return result<>::system_failure(errno, "can't read the thread's groups");
    }
    saved_fsuid_ = current_fsuid();
    saved_fsgid_ = current_fsgid();
    if (set_groups(0, nullptr) != 0) {
        return result<>::system_failure(errno, "can't clear the thread's groups");
    }
    entered_ = true;  // from here on, leave() puts back what was changed
    ::syscall(SYS_setfsgid, gid);
    ::syscall(SYS_setfsuid, uid);
    if (current_fsgid() != gid || current_fsuid() != uid) {
        leave();
        return result<>::system_failure(EPERM, "can't take the user's file access");
    }
    return result<>::success();
}

void user_file_access_t::leave() {
    if (!entered_) {
        return;
    }
    entered_ = false;
    // The user ID first: going back to root's gives the capabilities back that the rest needs.
    ::syscall(SYS_setfsuid, saved_fsuid_);
    ::syscall(SYS_setfsgid, saved_fsgid_);
    if (set_groups(saved_groups_.size(), saved_groups_.data()) != 0 ||
        current_fsuid() != saved_fsuid_ || current_fsgid() != saved_fsgid_) {
        // The thread would go on serving requests with another user's rights, or without root's:
        // nothing sound can follow.
        std::abort();
    }
}
