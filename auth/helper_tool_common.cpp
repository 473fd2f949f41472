#include "auth/helper_tool_common.h"

#include <optional>

#include "base/trace.h"
#include "protocol/protocol_methods.h"

helper_tool_common_t::command_info_t helper_tool_common_t::commandInfo() {
    command_info_t info;
    for (const auto& m : protocol::methods) {
        if (m.guarded()) {
            info.emplace(
                std::string(m.selector),
                right_entry_t{{k_auth_right_name, std::string(m.right.name)},
                              {k_auth_right_default, std::string(m.right.rule)},
                              {k_auth_right_description, std::string(m.right.description)}});
        }
    }
    return info;
}

std::vector<std::string> helper_tool_common_t::authRightNames() {
    std::vector<std::string> names;
    for (const auto& [command, entry] : commandInfo()) {
        names.push_back(entry.at(k_auth_right_name));
    }
    return names;
}

ns_string helper_tool_common_t::authorization_right_for_command(const char* command) {
    if (command == nullptr) {
        return std::nullopt;
    }
    const auto info = commandInfo();
    const auto found = info.find(command);
    if (found == info.end()) {
        return std::nullopt;
    }
    return found->second.at(k_auth_right_name);
}

void helper_tool_common_t::enumerate_rights_using_block(const rights_block_t& block) {
    for (const auto& [command, entry] : commandInfo()) {
        block(entry.at(k_auth_right_name), entry.at(k_auth_right_default),
              entry.at(k_auth_right_description));
    }
}

void helper_tool_common_t::setup_authorization_rights(const AuthorizationRef& authRef) {
    enumerate_rights_using_block([&](const std::string& authRightName,
                                     const std::string& authRightDefault,
                                     const std::string& authRightDesc) {
        // The definition, if any, is released when it goes out of scope.
        std::optional<AuthorizationRightDefinition> definition;
        if (AuthorizationRightGet(authRightName, definition) == errAuthorizationDenied) {
            // A failed definition goes unreported: a right missing from the database is judged
            // by the database's default rule (an administrator authenticates), which grants no
            // more than this table's rule would.
            (void)AuthorizationRightSet(authRef, authRightName, authRightDefault, authRightDesc,
                                        "Common");
        }
    });
}

void helper_tool_common_t::delete_authorization_rights(const AuthorizationRef& authRef) {
    char name[] = "helper_tool";
    trace_t trace{name, nullptr, true};
    for (const auto& authRightName : authRightNames()) {
        if (AuthorizationRightRemove(authRef, authRightName) != errAuthorizationSuccess) {
            trace_error(&trace, "Failed to remove authorization right %s", authRightName.c_str());
        }
    }
}
