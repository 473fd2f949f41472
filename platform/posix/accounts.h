#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/result.h"

// Users and groups as the system's account database knows them. A look-up fails when nothing is
// found as when the database can't be read; the description says which.

struct account_t {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;  // the primary group
    std::string home;
};

result<account_t> account_of(uid_t uid);
result<account_t> account_named(const std::string& name);
result<gid_t> group_named(const std::string& name);
// Whether the account belongs to the group, as its primary group or as one of its others.
result<bool> is_group_member(const account_t& account, gid_t group);
