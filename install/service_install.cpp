// Sets up the background service and the frontend agent of one namespace around the application
// already installed at "/Applications/Corvana.app".
#include "helper/helper_tool.h"
#include "install/job_description.h"
#include "install/request_checks.h"
#include "naming/paths.h"
#include "platform/posix/file_manager.h"
#include "protocol/protocol_methods.h"
#include "system/external_commands.h"

namespace {

using install_request::shown;

constexpr const char* k_service_install_selector =
    protocol::selector(protocol::method::install_service).data();
constexpr const char* k_installed_application = "/Applications/Corvana.app";

}  // namespace

void helper_tool_t::install_corvana_service_with(ns_data auth, ns_string for_namespace,
                                                 ns_string user_config, reply_t<bool> reply) {
    trace_info(_trace.get(), "* Installing Corvana Services (%s) *", shown(for_namespace));

    if (!install_request::accepted(*this, auth, k_service_install_selector, for_namespace,
                                   "Authorization failed", reply)) {
        return;
    }
    const std::string& ns = *for_namespace;

    _createGlobalTraceIfNeedFor(ns);

    const std::string executable =
        naming::append_path_component(k_installed_application, naming::k_executable_in_bundle);

    // "%S" is the trace log's own spelling of a text argument, which the compiler would check as a
    // wide text; the lines go through the unchecked entry point with a plain text.
    const std::string service_label = naming::service_label(ns);
    const std::string service_file = naming::service_job_file(service_label);
    trace_info_unchecked(_trace.get(), "Installing %S", service_file.c_str());
    _createPlist(service_file, job_description(service_label, executable, "--service"));

    const std::string frontend_label = naming::frontend_label(ns);
    const std::string agent_file = naming::agent_job_file(frontend_label);
    trace_info_unchecked(_trace.get(), "Installing %S", agent_file.c_str());
    _createPlist(agent_file, job_description(frontend_label, executable, "--agent-frontend"));

    _copyGlobalConfigFrom(user_config.value_or(""), ns);

    // chmod follows a link given to it: only a real bundle directory is handed over.
    if (file_manager::is_directory_no_follow(k_installed_application)) {
        (void)ExternalCommands::chmod(k_installed_application, "755", true);
        (void)ExternalCommands::chown(k_installed_application, "root", "wheel", true);
    } else if (file_manager::exists_no_follow(k_installed_application)) {
        trace_error(_trace.get(), "%s is not a directory, its mode and owner stay",
                    k_installed_application);
    }
    (void)ExternalCommands::kill_bundle_by_path(k_installed_application);
    (void)ExternalCommands::start_app_at_path(k_installed_application);

    trace_info(_trace.get(), "** Service installation finished **");
    reply(true);
}
