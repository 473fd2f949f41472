#include "platform/authorization/authorization_rules.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// Account lookups grow their buffer on ERANGE, up to a bound.
constexpr std::size_t k_max_lookup_buffer = 1 << 20;

struct account_t {
    std::string name;
    gid_t gid = 0;
};

std::optional<account_t> account_of(uid_t uid) {
    std::vector<char> buffer(4096);
    while (buffer.size() <= k_max_lookup_buffer) {
        passwd entry{};
        passwd* result = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || result == nullptr || result->pw_name == nullptr) {
            return std::nullopt;
        }
        return account_t{result->pw_name, result->pw_gid};
    }
    return std::nullopt;
}

std::optional<gid_t> group_id(const char* name) {
    std::vector<char> buffer(4096);
    while (buffer.size() <= k_max_lookup_buffer) {
        group entry{};
        group* result = nullptr;
        const int error = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || result == nullptr) {
            return std::nullopt;
        }
        return result->gr_gid;
    }
    return std::nullopt;
}

std::optional<gid_t> administrators_group() {
    for (const char* name : {"admin", "sudo", "wheel"}) {
        if (auto gid = group_id(name)) {
            return gid;
        }
    }
    return std::nullopt;
}

bool is_member(const account_t& account, gid_t group) {
    if (account.gid == group) {
        return true;
    }
    int count = 64;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.resize(static_cast<std::size_t>(count));
        int found = count;
        if (::getgrouplist(account.name.c_str(), account.gid, groups.data(), &found) >= 0) {
            groups.resize(static_cast<std::size_t>(found));
            return std::find(groups.begin(), groups.end(), group) != groups.end();
        }
        if (found <= count) {
            count *= 2;
        } else {
            count = found;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> authorization_user_name(uid_t uid) {
    auto account = account_of(uid);
    if (!account) {
        return std::nullopt;
    }
    return account->name;
}

bool authorization_user_is_administrator(uid_t uid) {
    if (uid == 0) {
        return true;
    }
    auto account = account_of(uid);
    auto group = administrators_group();
    return account && group && is_member(*account, *group);
}

OSStatus authorization_evaluate_rule(const std::string& rule, uid_t uid, bool preauthorized,
                                     AuthorizationFlags flags) {
    const bool is_admin = rule == kAuthorizationRuleIsAdmin;
    const bool authenticate_admin = rule == kAuthorizationRuleAuthenticateAdmin;
    if (!is_admin && !authenticate_admin) {
        return errAuthorizationDenied;  // no other rule exists here, so nothing can satisfy it
    }
    // An administrator authenticating satisfies either rule, and that is what a pre-authorized
    // right records.
    if (preauthorized) {
        return errAuthorizationSuccess;
    }
    if ((flags & kAuthorizationFlagExtendRights) == 0) {
        return errAuthorizationDenied;  // the authorization doesn't hold it and may not gain it
    }
    if (is_admin && authorization_user_is_administrator(uid)) {
        return errAuthorizationSuccess;
    }
    // What is left needs an administrator to authenticate now. The daemon has no one to ask, so
    // the answer is no even when interaction is allowed.
    return (flags & kAuthorizationFlagInteractionAllowed) != 0
               ? errAuthorizationDenied
               : errAuthorizationInteractionNotAllowed;
}

bool authorization_name_is_valid(const std::string& name) {
    return !name.empty() && name.size() <= 1024 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}
