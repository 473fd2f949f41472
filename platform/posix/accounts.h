#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// Users and groups as the system's account database knows them. A look-up that fails, for any
// reason, finds nothing.

struct account_t {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;  // the primary group
    std::string home;
};

[[nodiscard]] std::optional<account_t> account_of(uid_t uid);
[[nodiscard]] std::optional<account_t> account_named(const std::string& name);
[[nodiscard]] std::optional<gid_t> group_named(const std::string& name);
// Whether the account belongs to the group, as its primary group or as one of its others.
[[nodiscard]] bool is_group_member(const account_t& account, gid_t group);
