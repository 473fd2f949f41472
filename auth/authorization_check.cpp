#include <algorithm>
#include <optional>
#include <string>

#include "auth/helper_tool_common.h"
#include "helper/helper_tool.h"
#include "platform/authorization/authorization.h"
#include "platform/ipc/xpc_connection.h"
#include "platform/journal/journal.h"
#include "protocol/protocol_methods.h"
#include "system/external_commands.h"

namespace {

constexpr const char* k_os_status_domain = "NSOSStatusErrorDomain";

// The client the bytes came from, as the platform's authorization service knows the process
// that made an authorization: the one the system asks about, and whose hang-up ends the asking.
std::optional<AuthorizationPresenter> presenter() {
    const xpc_connection_t* connection = xpc_connection_t::currentConnection();
    if (connection == nullptr) {
        return std::nullopt;
    }
    return AuthorizationPresenter{connection->auditToken(), connection->socketDescriptor()};
}

// The right's description, the text the person asked to authenticate is shown.
AuthorizationEnvironment prompt_for(const char* command) {
    const auto info = helper_tool_common_t::commandInfo();
    const auto found = command == nullptr ? info.end() : info.find(command);
    if (found == info.end()) {
        return {};
    }
    const std::string& text = found->second.at(helper_tool_common_t::k_auth_right_description);
    return {{kAuthorizationEnvironmentPrompt, {text.begin(), text.end()}, 0}};
}

// Who asked for which right for which operation, and what settled it: the journal's record of
// the decision, whatever the trace says.
void record_decision(const char* command, AuthorizationDecision decided, OSStatus status) {
    journal_note_decision(AuthorizationDecisionName(decided));
    journal_record({.kind = journal_kind::authorization,
                    .caller = journal_current_caller(),
                    .operation = command == nullptr ? "" : command,
                    .right = helper_tool_common_t::authorization_right_for_command(command),
                    .decided_by = AuthorizationDecisionName(decided),
                    .status = status,
                    .outcome = status == errAuthorizationSuccess ? "true" : "false"});
}

}  // namespace

std::optional<ns_error> helper_tool_t::check_authorization(const ns_data& auth,
                                                           const char* command) {
    std::optional<ns_error> error;
    AuthorizationRef authRef;
    AuthorizationDecision decided = AuthorizationDecision::refused;

    if (!auth || auth->size() != kAuthorizationExternalFormLength) {
        error = ns_error{k_os_status_domain, errSecParam};
        trace_error(_trace.get(), "wrong auth data %s", error->description().c_str());
        record_decision(command, AuthorizationDecision::refused, errSecParam);
        return error;
    }

    AuthorizationExternalForm form;
    std::copy(auth->begin(), auth->end(), form.bytes.begin());
    const auto asker = presenter();
    OSStatus status = asker ? AuthorizationCreateFromExternalForm(form, *asker, authRef)
                            : AuthorizationCreateFromExternalForm(form, authRef);
    if (status == errAuthorizationSuccess) {
        // A selector without an entry has no right to ask for: a failed check, as a denied
        // right.
        const auto right = helper_tool_common_t::authorization_right_for_command(command);
        const AuthorizationEnvironment environment = prompt_for(command);
        status = !right ? errAuthorizationDenied
                        : AuthorizationCopyRights(
                              authRef, {{*right, {}, 0}},
                              kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights,
                              &environment, &decided);
    }
    if (status != errAuthorizationSuccess) {
        error = ns_error{k_os_status_domain, status};
        trace_error(_trace.get(), "external auth failed %s", error->description().c_str());
    }
    record_decision(command, decided, status);

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
