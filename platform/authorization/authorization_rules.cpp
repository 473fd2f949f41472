#include "platform/authorization/authorization_rules.h"

#include <algorithm>

#include "platform/posix/accounts.h"

namespace {

std::optional<gid_t> administrators_group() {
    for (const char* name : {"admin", "sudo", "wheel"}) {
        if (auto gid = group_named(name)) {
            return *gid;
        }
    }
    return std::nullopt;
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
    return account && group && is_group_member(*account, *group).value_or(false);
}

rule_verdict_t authorization_judge_rule(const std::string& rule, uid_t uid, bool preauthorized,
                                        AuthorizationFlags flags) {
    const bool is_admin = rule == kAuthorizationRuleIsAdmin;
    const bool authenticate_admin = rule == kAuthorizationRuleAuthenticateAdmin;
    if (!is_admin && !authenticate_admin) {
        return rule_verdict_t::denied;  // no other rule exists here, so nothing can satisfy it
    }
    // An administrator authenticating satisfies either rule, and that is what a pre-authorized
    // right records.
    if (preauthorized) {
        return rule_verdict_t::granted;
    }
    if ((flags & kAuthorizationFlagExtendRights) == 0) {
        return rule_verdict_t::denied;  // the authorization doesn't hold it and may not gain it
    }
    if (is_admin && authorization_user_is_administrator(uid)) {
        return rule_verdict_t::granted;
    }
    // What is left needs an administrator to authenticate now: the system's authorization
    // service is asked, when interaction is allowed.
    return (flags & kAuthorizationFlagInteractionAllowed) != 0
               ? rule_verdict_t::ask_administrator
               : rule_verdict_t::interaction_not_allowed;
}

bool authorization_name_is_valid(const std::string& name) {
    return !name.empty() && name.size() <= 1024 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}
