#pragma once

#include <sys/types.h>

#include <vector>

#include "platform/posix/result.h"

// Acting on files, on the calling thread alone, with a user's access instead of root's: the
// thread's file-system user and group are switched and its supplementary groups cleared, and the
// kernel drops the capabilities that override file permissions with them. What root opens for a
// user is then only what that user could open. Needs CAP_SETUID and CAP_SETGID. Threads already
// running keep their credentials; a thread started meanwhile inherits the user's.
class user_file_access_t {
  public:
    user_file_access_t() = default;
    ~user_file_access_t() { leave(); }
    user_file_access_t(const user_file_access_t&) = delete;
    user_file_access_t& operator=(const user_file_access_t&) = delete;

    // Switches to the user's access; a failure leaves the thread as it was.
    result<> enter(uid_t uid, gid_t gid);
    // Back to the thread's own access (also on destruction).
    void leave();

  private:
    bool entered_ = false;
    uid_t saved_fsuid_ = 0;
    gid_t saved_fsgid_ = 0;
    std::vector<gid_t> saved_groups_;
};
