#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/authorization/authorization.h"
#include "protocol/types.h"

// The authorization rights of the guarded remote operations, and their registration in and
// removal from the authorization database. Class methods only: no instances, no state.
class helper_tool_common_t {
  public:
    helper_tool_common_t() = delete;

    static constexpr const char* k_auth_right_name = "authRightName";
    static constexpr const char* k_auth_right_default = "authRightDefault";
    static constexpr const char* k_auth_right_description = "authRightDescription";

    // Selector text -> {"authRightName", "authRightDefault", "authRightDescription"}.
    using right_entry_t = std::map<std::string, std::string>;
    using command_info_t = std::map<std::string, right_entry_t>;
    // (right name, default rule, description)
    using rights_block_t =
        std::function<void(const std::string&, const std::string&, const std::string&)>;

    // Built anew on every call.
    static command_info_t commandInfo();
    static std::vector<std::string> authRightNames();
    // Nothing for a selector without an entry (or no selector).
    static ns_string authorization_right_for_command(const char* command);
    static void enumerate_rights_using_block(const rights_block_t& block);
    static void setup_authorization_rights(const AuthorizationRef& authRef);
    static void delete_authorization_rights(const AuthorizationRef& authRef);
};
