#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/authorization/authorization.h"

// The rules the authorization database knows, and the users they are about.

inline constexpr const char* kAuthorizationRuleIsAdmin = "is-admin";
inline constexpr const char* kAuthorizationRuleAuthenticateAdmin = "authenticate-admin";
// The rule of every right the table has no entry for: an administrator must authenticate for
// it, so only an authorization that holds that very right gets it.
inline constexpr const char* kAuthorizationRuleDefault = kAuthorizationRuleAuthenticateAdmin;

// The user's name, or nothing when no account has this id.
std::optional<std::string> authorization_user_name(uid_t uid);

// Root, or a member of the administrators group: the first of "admin", "sudo" and "wheel" that
// exists on this system. Any failed lookup answers false.
bool authorization_user_is_administrator(uid_t uid);

// Whether a rule grants a right to an authorization of this user. preauthorized: an
// administrator authenticated for this very right of this very authorization.
enum class rule_verdict_t {
    granted,
    denied,
    interaction_not_allowed,  // an administrator must authenticate, and nobody may be asked
    ask_administrator,        // an administrator must authenticate now, and may be asked
};
rule_verdict_t authorization_judge_rule(const std::string& rule, uid_t uid, bool preauthorized,
                                        AuthorizationFlags flags);

// Right and rule names: 1 to 1024 visible ASCII characters.
bool authorization_name_is_valid(const std::string& name);
