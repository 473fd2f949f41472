// Remote requests that ask about, start, stop and switch the autostart of one namespace's
// launchd jobs: the system-wide service (a daemon) and the per-user frontend agent.
#include <string>

#include "helper/helper_tool.h"
#include "naming/paths.h"
#include "platform/posix/file_manager.h"
#include "system/external_commands.h"

namespace {

std::string service_job_file_for(const std::string& cv_namespace) {
    return naming::service_job_file(naming::service_label(cv_namespace));
}
std::string agent_job_file_for(const std::string& cv_namespace) {
    return naming::agent_job_file(naming::frontend_label(cv_namespace));
}

}  // namespace

void helper_tool_t::start_service_with_namespace(ns_string cv_namespace, reply_t<bool> with_reply) {
    if (!_validateCVNamespace(cv_namespace)) {
        with_reply(false);
        return;
    }
    const std::string label = naming::service_label(*cv_namespace);
    const std::string job_file = service_job_file_for(*cv_namespace);
    trace_info(_trace.get(), "Trying to launch: %s (%s).", label.c_str(), job_file.c_str());

    if (ExternalCommands::is_service_disabled(job_file)) {
        trace_warning(_trace.get(), "%s is disabled.", job_file.c_str());
        // The writer logs its own failures; a job file it can't enable still gets its load.
        (void)ExternalCommands::set_enable_service(job_file, true);
    }
    const bool loaded = ExternalCommands::load_service(job_file);
    const bool run_at_load = ExternalCommands::is_service_run_at_load(job_file);
    if (loaded && !run_at_load) {
        with_reply(ExternalCommands::start_service(label));
        return;
    }
    // launchd started a run-at-load job when it loaded it.
    with_reply(loaded);
}

// The four queries take the namespace as it comes: they only read, and a name that can't be
// an installation's simply finds no job file. A missing namespace names no installation.
void helper_tool_t::is_service_installed_with_namespace(ns_string cv_namespace,
                                                        reply_t<bool> with_reply) {
    with_reply(cv_namespace.has_value() &&
               file_manager::exists(service_job_file_for(*cv_namespace)));
}

void helper_tool_t::is_service_disabled_with_namespace(ns_string cv_namespace,
                                                       reply_t<bool> with_reply) {
    with_reply(cv_namespace.has_value() &&
               ExternalCommands::is_service_disabled(service_job_file_for(*cv_namespace)));
}

void helper_tool_t::is_service_run_at_load_with_namespace(ns_string cv_namespace,
                                                          reply_t<bool> with_reply) {
    with_reply(cv_namespace.has_value() &&
               ExternalCommands::is_service_run_at_load(service_job_file_for(*cv_namespace)));
}

void helper_tool_t::isAutostartEnabledForNamespace(ns_string cv_namespace, reply_t<bool> reply) {
    reply(cv_namespace.has_value() &&
          ExternalCommands::is_service_run_at_load(agent_job_file_for(*cv_namespace)));
}

void helper_tool_t::setAutostartEnabled(bool enabled, ns_string forNamespace, reply_t<bool> reply) {
    if (!_validateCVNamespace(forNamespace)) {
        reply(false);
        return;
    }
    // Only the job files change; launchd picks the value up at the next load. A job file
    // that isn't there is an installation without that job and is skipped.
    (void)ExternalCommands::set_runatload_service(agent_job_file_for(*forNamespace), enabled);
    (void)ExternalCommands::set_runatload_service(service_job_file_for(*forNamespace), enabled);
    reply(true);
}

void helper_tool_t::quit_service(ns_string cv_namespace, reply_t<bool> with_reply) {
    if (!_validateCVNamespace(cv_namespace)) {
        with_reply(false);
        return;
    }
    // A job that isn't loaded is as stopped as the caller wants it.
    (void)ExternalCommands::stop_service(naming::service_label(*cv_namespace));
    with_reply(true);
}
