// What the application install and the service install share: the job-file writer, the global
// trace file and the global configuration directory.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "base/trace.h"
#include "helper/helper_tool.h"
#include "install/made_for_namespace.h"
#include "naming/paths.h"
#include "platform/ipc/xpc_connection.h"
#include "platform/posix/file_manager.h"
#include "platform/posix/path_text.h"
#include "platform/posix/user_file_access.h"
#include "system/external_commands.h"

namespace {

constexpr const char* k_required_config_files[] = {"system.conf", "service.conf"};
constexpr const char* k_copied_config_files[] = {"system.conf", "service.conf",
                                                 "connection_trace.txt"};

// Whether path is the file the daemon writes its own trace to ("/var/log/corvana.trace" when it
// could open that).
bool is_own_trace(const std::string& path) {
    struct stat own {};
    struct stat other {};
    return g_trace_file != nullptr && !g_trace_file->path.empty() &&
           ::stat(g_trace_file->path.c_str(), &own) == 0 && ::lstat(path.c_str(), &other) == 0 &&
           own.st_dev == other.st_dev && own.st_ino == other.st_ino;
}

// Already what the helper makes of a namespace's item: root's, of this type, with this mode.
bool is_made_as(const std::string& path, mode_t type, mode_t mode) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == type &&
           info.st_uid == 0 && (info.st_mode & 07777) == mode &&
           (type != S_IFREG || info.st_nlink == 1);
}

// Whether the item at path is this namespace's: recorded when the helper made it, or already what
// it makes (an installation older than the records, which is recorded now).
bool is_namespace_item(made_for_namespace::item_t item, const std::string& cv_namespace,
                       const std::string& path, mode_t type, mode_t mode) {
    if (made_for_namespace::remembered(item, cv_namespace, path)) {
        return true;
    }
    if (!is_made_as(path, type, mode)) {
        return false;
    }
    (void)made_for_namespace::remember(item, cv_namespace, path);
    return true;
}

}  // namespace

void helper_tool_t::_createPlist(const std::string& path, const plist_dict_t& from) {
    // Replaced whole, by rename: a reader never sees half a job file and a link planted at the
    // path is replaced rather than written through. The request's answer does not depend on it,
    // but a job missing after a successful install would otherwise leave nothing to go on.
    if (auto written = write_xml_property_list_atomically(path, from.get()); !written) {
        const int error = written.error();
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
    bool created = false;
    if (!file_manager::exists(path)) {
        trace_info(_trace.get(), "Creating global trace file..");
        if (auto made = file_manager::create_file(path); !made) {
            trace_error(_trace.get(), "Can't create %s", path.c_str());
        } else {
            created = true;
        }
    }
    // chmod follows a link: only our own regular file is made writable for everyone.
    if (!file_manager::is_regular_file_no_follow(path)) {
        trace_error(_trace.get(), "%s is not a regular file, its mode stays", path.c_str());
        return;
    }
    // Only a file made for this namespace is opened to everyone: another file of that name is
    // someone else's. The daemon's own trace shares the name of namespace "corvana"'s; its mode
    // is the daemon's to set, and none of its users may get a say in it.
    using made_for_namespace::item_t;
    const bool own_trace = is_own_trace(path);
    if (created && !own_trace) {
        (void)made_for_namespace::remember(item_t::trace_file, cv_namespace, path);
    } else if (!created) {
        if (own_trace) {
            return;
        }
        if (!is_namespace_item(item_t::trace_file, cv_namespace, path, S_IFREG, 0666)) {
            trace_error(_trace.get(), "%s was not made for this installation, its mode stays",
                        path.c_str());
            return;
        }
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
    // Only a directory made for this namespace is filled and opened to the group staff: an
    // existing one of that name is the system's or another package's ("/etc/ssl").
    using made_for_namespace::item_t;
    if (::mkdir(directory.c_str(), 0755) == 0) {
        (void)made_for_namespace::remember(item_t::config_directory, for_, directory);
    } else if (errno != EEXIST) {
        trace_error(_trace.get(), "Can't create %s", directory.c_str());
    } else if (!is_namespace_item(item_t::config_directory, for_, directory, S_IFDIR, 0775)) {
        trace_error(_trace.get(), "%s was not made for this installation. Skipping.",
                    directory.c_str());
        return;
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
    } else {
        // Opened with the access of the user who asked: nobody has root copy, and open to the
        // group staff, a file they could not read themselves.
        config_source_t files;
        if (!source.empty()) {
            files = open_config_source(source);
        }
        if (files.complete()) {
            for (std::size_t i = 0; i < std::size(k_copied_config_files); ++i) {
                if (!files.opened[i].valid()) {
                    continue;  // the optional file is simply not copied
                }
                // A file already at the destination is not overwritten.
                (void)file_manager::copy_file_from(
                    files.opened[i].get(),
                    naming::append_path_component(source, k_copied_config_files[i]),
                    naming::append_path_component(directory, k_copied_config_files[i]));
            }
        } else {
            if (!files.refusal.empty()) {
                trace_error(_trace.get(), "config source %s: %s", source.c_str(),
                            files.refusal.c_str());
            }
            trace_info(_trace.get(), "local config incomplete. Skipping.");
        }
    }

    trace_info(_trace.get(), "Correcting permissions..");
    (void)ExternalCommands::chmod(directory, "775", true);
    (void)ExternalCommands::chown(directory, "root", "staff", true);
}

helper_tool_t::config_source_t helper_tool_t::open_config_source(const std::string& source) {
    config_source_t files;
    // Who asked: the connection the call came in on says. A handler driven in-process (a test,
    // a benchmark) has none and acts with root's access; a call of the daemon's with no
    // connection to answer for it is refused.
    user_file_access_t as_caller;
    if (const xpc_connection_t* connection = xpc_connection_t::currentConnection()) {
        const audit_token_t& token = connection->auditToken();
        if (token.uid != 0) {
            if (auto entered = as_caller.enter(token.uid, token.gid); !entered) {
                files.refusal = "can't read it as its user (" + entered.description() + ")";
                return files;
            }
        }
    } else if (_listener) {
        files.refusal = "no caller to read it for";
        return files;
    }
    for (std::size_t i = 0; i < std::size(k_copied_config_files); ++i) {
        // Non-blocking: a FIFO in place of a file must not hang the request; the copy refuses
        // anything but a regular file.
        files.opened[i] = unique_fd(
            ::open(naming::append_path_component(source, k_copied_config_files[i]).c_str(),
                   O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    }
    return files;
}
