// Removes one namespace's job files, its privileged helper tool and the application bundle.
#include "helper/helper_tool.h"
#include "install/application_bundle.h"
#include "install/request_checks.h"
#include "naming/paths.h"
#include "platform/posix/file_manager.h"
#include "platform/posix/path_text.h"
#include "protocol/protocol_methods.h"
#include "system/external_commands.h"

namespace {

using install_request::shown;

constexpr const char* k_uninstall_selector = protocol::selector(protocol::method::uninstall).data();

}  // namespace

void helper_tool_t::uninstall_corvana_with_auth_data(ns_data auth_data, ns_string with_bundle_path,
                                                     ns_string, ns_string with_cv_namespace,
                                                     ns_string, reply_t<bool> with_reply) {
    trace_info(_trace.get(), "Uninstalling %s..", shown(with_bundle_path));

    if (!install_request::accepted(*this, auth_data, k_uninstall_selector, with_cv_namespace,
                                   "Authorization failed. Uninstall aborted", with_reply)) {
        return;
    }
    const std::string& ns = *with_cv_namespace;
    const std::string bundle_path = with_bundle_path.value_or("");

    // The right says "Corvana is trying to uninstall itself": root removes the application's
    // bundle in "/Applications" and nothing else, and a path that is not it is refused before
    // anything is removed. A text that is not a plain bundle path could name something else than
    // it says.
    if (!naming::is_application_bundle_path(bundle_path)) {
        trace_error(_trace.get(), "Wrong install source. aborted");
        with_reply(false);
        return;
    }
    if (split_path(bundle_path).directory != naming::k_applications_directory) {
        trace_error(_trace.get(), "Wrong install source (%s is not a bundle in %s). aborted",
                    bundle_path.c_str(), naming::k_applications_directory);
        with_reply(false);
        return;
    }
    // Nothing there is no one else's bundle: the namespace's files still go, as they always did.
    if (file_manager::exists_no_follow(bundle_path)) {
        if (auto application =
                application_bundle::recognised_for_removal(bundle_path, _clientRequirement);
            !application) {
            trace_error(_trace.get(), "Wrong install source (%s). aborted",
                        application.description().c_str());
            with_reply(false);
            return;
        }
    }

    const std::string wildcard = "com.quillmark." + ns + ".*";
    std::vector<std::string> paths = resolveFilesInDirectory("/Library/LaunchAgents/", wildcard);
    for (auto& path : resolveFilesInDirectory("/Library/LaunchDaemons/", wildcard)) {
        paths.push_back(std::move(path));
    }
    paths.push_back(naming::helper_tool_path(ns));
    paths.push_back(naming::helper_job_file(ns));

    for (const auto& path : paths) {
        trace_info(_trace.get(), "Deleting Files %s", path.c_str());
        if (auto removed = file_manager::remove_item(path); !removed) {
            trace_warning(_trace.get(), "Can't delete %s", path.c_str());
        }
    }

    trace_info(_trace.get(), "Corvana Files deleted");
    (void)ExternalCommands::kill_bundle_by_path(bundle_path);

    if (auto removed = file_manager::remove_item(bundle_path); !removed) {
        trace_error(_trace.get(), "Can't delete app(%s)", removed.description().c_str());
        with_reply(false);
        return;
    }

    _resetAuthDB();

    trace_info(_trace.get(), "Corvana uninstalled.");
    with_reply(true);
}
