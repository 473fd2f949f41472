// What the application install and the service install share: the job-file writer, the global
// trace file and the global configuration directory.
#include <cerrno>
#include <system_error>

#include "core/helper_tool.h"
#include "naming/paths.h"
#include "platform/posix/file_manager.h"
#include "platform/posix/path_text.h"
#include "system/external_commands.h"

namespace {

constexpr const char* k_required_config_files[] = {"system.conf", "service.conf"};
constexpr const char* k_copied_config_files[] = {"system.conf", "service.conf",
                                                 "connection_trace.txt"};

}  // namespace

void helper_tool_t::_createPlist(const std::string& path, const plist_dict_t& from) {
    // Replaced whole, by rename: a reader never sees half a job file and a link planted at the
    // path is replaced rather than written through. The request's answer does not depend on it,
    // but a job missing after a successful install would otherwise leave nothing to go on.
    if (!write_xml_property_list_atomically(path, from.get())) {
        const int error = errno;
        trace_error(_trace.get(), "Can't write %s: %s", path.c_str(),
                    std::error_code(error, std::generic_category()).message().c_str());
    }
}

void helper_tool_t::_createGlobalTraceIfNeedFor(const std::string& cv_namespace) {
    const std::string path = naming::global_trace_file(cv_namespace);
    if (cv_namespace.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        trace_error(_trace.get(), "Can't create %s", path.c_str());
        return;
    }
    if (!file_manager::exists(path)) {
        trace_info(_trace.get(), "Creating global trace file..");
        if (auto created = file_manager::create_file(path); !created) {
            trace_error(_trace.get(), "Can't create %s", path.c_str());
        }
    }
    // chmod follows a link: only our own regular file is made writable for everyone.
    if (!file_manager::is_regular_file_no_follow(path)) {
        trace_error(_trace.get(), "%s is not a regular file, its mode stays", path.c_str());
        return;
    }
    (void)ExternalCommands::chmod(path, "666", false);
}

void helper_tool_t::_copyGlobalConfigFrom(const std::string& source, const std::string& for_) {
    trace_info(_trace.get(), "Creating global config..");
    const std::string directory = naming::global_config_directory(for_);
    // The empty namespace would make this "/etc" itself and hand all of it to root:staff 775, and
    // a namespace of more than one component would point the mode and owner changes somewhere
    // else; a link in its place would redirect the copies and the recursive changes.
    if (!is_single_path_component(for_) || (file_manager::exists_no_follow(directory) &&
                                            !file_manager::is_directory_no_follow(directory))) {
        trace_error(_trace.get(), "%s can't be the global config directory. Skipping.",
                    directory.c_str());
        return;
    }
    if (auto created = file_manager::create_directory(directory); !created) {
        trace_error(_trace.get(), "Can't create %s", directory.c_str());
    }

    const std::vector<std::string> required(std::begin(k_required_config_files),
                                            std::end(k_required_config_files));
    if (_verifyDir(directory, required)) {
        trace_warning(_trace.get(), "global config files already exists. Skipping.");
    } else if (!source.empty() &&
               (!source.starts_with('/') || source.find('\0') != std::string::npos)) {
        // Relative to the daemon's working directory, which is not the caller's; the source is
        // only read, so any absolute spelling of it does.
        trace_warning(_trace.get(), "config source %s is not an absolute path. Skipping.",
                      source.c_str());
    } else if (!source.empty() && _verifyDir(source, required)) {
        for (const char* name : k_copied_config_files) {
            // A file missing in the source or already at the destination is simply not copied.
            (void)file_manager::copy_item(naming::append_path_component(source, name),
                                          naming::append_path_component(directory, name));
        }
    } else {
        trace_info(_trace.get(), "local config incomplete. Skipping.");
    }

    trace_info(_trace.get(), "Correcting permissions..");
    (void)ExternalCommands::chmod(directory, "775", true);
    (void)ExternalCommands::chown(directory, "root", "staff", true);
}
