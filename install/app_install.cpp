// Installs the application bundle into "/Applications" and sets up everything one namespace
// needs around it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <thread>
#include <utility>

#include "base/unique_fd.h"
#include "helper/helper_tool.h"
#include "install/application_bundle.h"
#include "install/job_description.h"
#include "install/request_checks.h"
#include "naming/paths.h"
#include "platform/posix/bundle_links.h"
#include "platform/posix/file_manager.h"
#include "platform/posix/path_text.h"
#include "protocol/protocol_methods.h"
#include "system/external_commands.h"

namespace {

using install_request::shown;

constexpr const char* k_install_selector = protocol::selector(protocol::method::install).data();

// Two installs at once would remove and copy the same bundle under each other's feet and could
// both report success over a half-removed bundle; replacing the bundle is done one at a time.
std::mutex bundle_replacement_lock;

// The running helper's own executable name: the last component of argument zero.
std::string own_executable_name() {
    return last_path_component(program_invocation_name != nullptr ? program_invocation_name : "");
}

// Whether the open source directory is the installed bundle or lies inside it, however its path
// was spelled (through a link to "/Applications", say): removing the bundle would remove the
// source before its copy. Decided on the descriptor, by walking up its parents.
bool lies_within_installed(int source, const std::string& installed) {
    struct stat bundle {};
    if (::lstat(installed.c_str(), &bundle) != 0 || !S_ISDIR(bundle.st_mode)) {
        return false;
    }
    unique_fd current(::fcntl(source, F_DUPFD_CLOEXEC, 0));
    // Bounded: a path can't hold more levels than this.
    for (int level = 0; current.valid() && level < PATH_MAX / 2; ++level) {
        struct stat here {};
        if (::fstat(current.get(), &here) != 0) {
            return false;
        }
        if (here.st_dev == bundle.st_dev && here.st_ino == bundle.st_ino) {
            return true;
        }
        unique_fd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat above {};
        if (!parent.valid() || ::fstat(parent.get(), &above) != 0 ||
            (above.st_dev == here.st_dev && above.st_ino == here.st_ino)) {
            return false;  // at the root
        }
        current = std::move(parent);
    }
    return false;
}

// The source's links were checked before anything was quit or removed, but its owner can still
// change them; the copy, root's alone, is checked again, and removed when a link leads out.
// The same goes for its code: what was copied must still be the application.
result<> copy_bundle(int source, const std::string& source_path, const std::string& installed,
                     const std::string& requirement, bool& copied_other) {
    copied_other = false;
    if (auto copied = file_manager::copy_directory_from(source, source_path, installed); !copied) {
        return copied;
    }
    auto copy = file_manager::open_directory_no_follow(installed);
    result<> checked =
        copy ? bundle_links_stay_inside(copy->get(), installed) : std::move(copy).as_failure();
    if (checked) {
        checked = application_bundle::check(installed, installed, requirement);
        copied_other = !checked;
    }
    if (!checked) {
        (void)file_manager::remove_item(installed);
    }
    return checked;
}

bool is_link(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// The open source, read through its descriptor: the path may name another directory by now.
std::string through_descriptor(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

void helper_tool_t::install_corvana_with_auth_data(ns_data auth_data, ns_string with_bundle_path,
                                                   ns_string with_sysconfig_path,
                                                   ns_string with_cv_namespace, ns_string,
                                                   reply_t<bool> with_reply) {
    trace_info(_trace.get(), "* Installing Corvana (%s) *", shown(with_cv_namespace));
    trace_info(_trace.get(), "* from: %s *", shown(with_bundle_path));
    trace_info(_trace.get(), "* sys_conf: %s *", shown(with_sysconfig_path));

    _resetAuthDB();

    if (!install_request::accepted(*this, auth_data, k_install_selector, with_cv_namespace,
                                   "Authorization failed", with_reply)) {
        return;
    }
    const std::string& ns = *with_cv_namespace;
    const std::string bundle_path = with_bundle_path.value_or("");

    // The text is what the "/Applications" test below looks at, so it must name what it says.
    if (!naming::is_application_bundle_path(bundle_path)) {
        trace_error(_trace.get(), "Wrong install source. aborted");
        with_reply(false);
        return;
    }

    const std::string installed = naming::append_path_component(naming::k_applications_directory,
                                                                last_path_component(bundle_path));
    // The source is opened once, and everything below reads it through this descriptor, never
    // through its path again: a link swapped in meanwhile changes nothing. Only a real directory
    // is copied (a link would leave "/Applications" pointing at a place its owner can still
    // change under the root service, and the mode change would follow it).
    //
    // Root starts what is installed, and the jobs run it: only the application may be (the right
    // says "Corvana is trying to install itself"). The source is checked before anything is quit,
    // removed or copied, the copy before anything runs it; a bundle already in place is checked
    // before it is used.
    unique_fd source;
    bool skipped = false;
    if (bundle_path.starts_with(naming::k_applications_directory)) {
        trace_warning(_trace.get(), "already installed? skipping");
        skipped = true;
    } else {
        auto opened = file_manager::open_directory_no_follow(bundle_path);
        if (!opened) {
            trace_error(_trace.get(), "Wrong install source. aborted");
            with_reply(false);
            return;
        }
        source = std::move(opened).value();
        if (lies_within_installed(source.get(), installed)) {
            trace_warning(_trace.get(), "already installed? skipping");
            skipped = true;
        }
    }
    if (skipped) {
        if (auto application = application_bundle::check(installed, installed, _clientRequirement);
            !application) {
            trace_error(_trace.get(), "Wrong install source (%s). aborted",
                        application.description().c_str());
            with_reply(false);
            return;
        }
    } else {
        if (auto contained = bundle_links_stay_inside(source.get(), bundle_path); !contained) {
            trace_error(_trace.get(), "Wrong install source (%s). aborted",
                        contained.description().c_str());
            with_reply(false);
            return;
        }
        if (auto application = application_bundle::check(through_descriptor(source.get()),
                                                         bundle_path, _clientRequirement);
            !application) {
            trace_error(_trace.get(), "Wrong install source (%s). aborted",
                        application.description().c_str());
            with_reply(false);
            return;
        }
        std::lock_guard<std::mutex> replacing(bundle_replacement_lock);
        // What it replaces must be the application too: another application's bundle of the same
        // name is not this right's to remove. A link there is removed as a link, losing nothing.
        if (file_manager::exists_no_follow(installed) && !is_link(installed)) {
            if (auto previous = application_bundle::replaceable(installed, _clientRequirement);
                !previous) {
                trace_error(_trace.get(),
                            "Wrong install source (it would replace another bundle: %s). aborted",
                            previous.description().c_str());
                with_reply(false);
                return;
            }
        }

        trace_info(_trace.get(), "Quiting Corvana..");
        if (!ExternalCommands::kill_bundle_by_path(installed)) {
            trace_info(_trace.get(), "No instances to quit or failed");
        }

        if (file_manager::exists_no_follow(installed)) {
            trace_info(_trace.get(), "Deleting %s", installed.c_str());
            if (auto removed = file_manager::remove_item(installed); !removed) {
                trace_error(_trace.get(), "Can't delete app(%s)", removed.description().c_str());
                with_reply(false);
                return;
            }
        }

        trace_info(_trace.get(), "Installing..");
        bool copied_other = false;
        if (auto copied =
                copy_bundle(source.get(), bundle_path, installed, _clientRequirement, copied_other);
            !copied) {
            if (copied_other) {
                trace_error(_trace.get(), "Wrong install source (%s). aborted",
                            copied.description().c_str());
            } else {
                trace_error(_trace.get(), "Can't copy app(%s)", copied.description().c_str());
            }
            with_reply(false);
            return;
        }

        trace_info(_trace.get(), "CHMODing CHOWNing..");
        (void)ExternalCommands::chmod(installed, "755", true);
        (void)ExternalCommands::chown(installed, "root", "wheel", true);
    }

    if (auto created = file_manager::create_directory("/var/log"); !created) {
        trace_error(_trace.get(), "/var/log can't be created");
    }

    _createGlobalTraceIfNeedFor(ns);
    _copyGlobalConfigFrom(with_sysconfig_path.value_or(""), ns);

    trace_info(_trace.get(), "Configure Launch Services..");
    const std::string service_label = naming::service_label(ns);
    const std::string service_file = naming::service_job_file(service_label);

    trace_info(_trace.get(), "Disable global service autostat and stop agent");
    const std::string frontend_label = naming::frontend_label(ns);
    const std::string agent_file = naming::agent_job_file(frontend_label);
    (void)ExternalCommands::set_runatload_service(agent_file, false);
    (void)ExternalCommands::stop_agent(frontend_label);
    (void)ExternalCommands::unload_agent(agent_file);

    std::this_thread::sleep_for(std::chrono::seconds(1));

    if (file_manager::exists(service_file)) {
        if (!ExternalCommands::stop_service(service_label)) {
            trace_warning(_trace.get(), "failed to stop %s", service_label.c_str());
        }
        if (!ExternalCommands::unload_service(service_file)) {
            trace_warning(_trace.get(), "failed to unload %s", service_label.c_str());
        }
    }

    for (const auto& path : resolveFilesInDirectory("/Library/LaunchDaemons",
                                                    "com.quillmark.corvana*.service.plist")) {
        trace_info(_trace.get(), "Deleting Service file %s", path.c_str());
        if (auto removed = file_manager::remove_item(path); !removed) {
            trace_warning(_trace.get(), "Can't delete %s", path.c_str());
        }
    }

    const std::string executable =
        naming::append_path_component(installed, naming::k_executable_in_bundle);
    // "%S" is the trace log's own spelling of a text argument, which the compiler would check as a
    // wide text; the lines go through the unchecked entry point with a plain text.
    trace_info_unchecked(_trace.get(), "Installing %S", service_file.c_str());
    _createPlist(service_file, job_description(service_label, executable, "--service"));

    for (const auto& path : resolveFilesInDirectory("/Library/LaunchAgents",
                                                    "com.quillmark.corvana*.Frontend.plist")) {
        trace_info(_trace.get(), "Deleting Agent file %s", path.c_str());
        if (auto removed = file_manager::remove_item(path); !removed) {
            trace_warning(_trace.get(), "Can't delete %s", path.c_str());
        }
    }

    trace_info_unchecked(_trace.get(), "Installing %S", agent_file.c_str());
    _createPlist(agent_file,
                 job_description(frontend_label, executable, "--agent-frontend", installed));

    for (const auto& path : resolveFilesInDirectory("/usr/local/bin/", "cvwrap_corvana*")) {
        trace_info(_trace.get(), "Deleting legacy %s", path.c_str());
        if (auto removed = file_manager::remove_item(path); !removed) {
            trace_warning(_trace.get(), "Can't delete %s", path.c_str());
        }
    }

    const std::string own_name = own_executable_name();
    for (const auto& path :
         resolveFilesInDirectory("/Library/LaunchDaemons", "com.quillmark.corvana*.Helper.plist")) {
        if (last_path_component(path).find(own_name) != std::string::npos) {
            continue;
        }
        trace_info(_trace.get(), "Deleting plist %s", path.c_str());
        (void)file_manager::remove_item(path);
    }

    trace_info(_trace.get(), "SHM cleanup");
    cleanSharedMemory(string_t("gsystem"));
    cleanSharedMemory(string_t("lsystem"));

    trace_info(_trace.get(), "Starting installed app");
    if (!ExternalCommands::removeOpenWarningFromCorvana(installed)) {
        trace_warning(_trace.get(), "Can't remove from quarantine");
    }
    if (!ExternalCommands::start_app_at_path(installed)) {
        trace_warning(_trace.get(), "Can't start app");
    }

    trace_info(_trace.get(), "** Installation finished **");
    with_reply(true);
}
