#include <algorithm>
#include <optional>
#include <string>

#include "auth/helper_tool_common.h"
#include "core/helper_tool.h"
#include "core/protocol_methods.h"
#include "platform/authorization/authorization.h"
#include "system/external_commands.h"

namespace {

constexpr const char* k_os_status_domain = "NSOSStatusErrorDomain";

}  // namespace

std::optional<ns_error> helper_tool_t::check_authorization(const ns_data& auth,
                                                           const char* command) {
    std::optional<ns_error> error;
    AuthorizationRef authRef;

    if (!auth || auth->size() != kAuthorizationExternalFormLength) {
        error = ns_error{k_os_status_domain, errSecParam};
        trace_error(_trace.get(), "wrong auth data %s", error->description().c_str());
        return error;
    }

    AuthorizationExternalForm form;
    std::copy(auth->begin(), auth->end(), form.bytes.begin());
    OSStatus status = AuthorizationCreateFromExternalForm(form, authRef);
    if (status == errAuthorizationSuccess) {
        // A selector without an entry has no right to ask for: a failed check, as a denied
        // right.
        const auto right = helper_tool_common_t::authorization_right_for_command(command);
        status = !right ? errAuthorizationDenied
                        : AuthorizationCopyRights(authRef, {{*right, {}, 0}},
                                                  kAuthorizationFlagInteractionAllowed |
                                                      kAuthorizationFlagExtendRights);
    }
    if (status != errAuthorizationSuccess) {
        error = ns_error{k_os_status_domain, status};
        trace_error(_trace.get(), "external auth failed %s", error->description().c_str());
    }

    if (authRef) {
        (void)AuthorizationFree(std::move(authRef), kAuthorizationFlagDefaults);
    }
    return error;
}

void helper_tool_t::_resetAuthDB() {
    trace_info(_trace.get(), "Cleaning authorizationdb..");
    for (const auto& name : helper_tool_common_t::authRightNames()) {
        if (!ExternalCommands::remove_authorization(name)) {
            trace_warning(_trace.get(), "can't delete %s", name.c_str());
        }
    }
}

void helper_tool_t::check_global_settings_auth(ns_data auth, reply_t<bool> reply) {
    reply(!check_authorization(
        auth, protocol::selector(protocol::method::check_global_settings_auth).data()));
}
