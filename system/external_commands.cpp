#include "system/external_commands.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/hidden_text.h"
#include "base/trace.h"
#include "platform/launch/app_launcher.h"
#include "platform/plist/property_list.h"
#include "platform/plist/unicode_text.h"
#include "platform/posix/file_manager.h"
#include "platform/posix/spawn.h"
#include "system/process_runner.h"

namespace {

constexpr const char* k_launchctl = "/bin/launchctl";
constexpr const char* k_chmod = "/bin/chmod";
constexpr const char* k_chown = "/usr/sbin/chown";
constexpr const char* k_xattr = "/usr/bin/xattr";
constexpr const char* k_security = "/usr/bin/security";
constexpr const char* k_reboot = "/sbin/reboot";
constexpr const char* k_hdiutil = "/usr/bin/hdiutil";
constexpr const char* k_dns_sd = "/usr/bin/dns-sd";
constexpr const char* k_sh = "/bin/sh";
constexpr const char* k_bash = "/bin/bash";

constexpr const char* k_sleep_proxy_service = "_sleep-proxy._udp";

// The path reaches the shell as a positional parameter, never as part of the command text, so
// nothing in it is run. grep still reads it as a basic regular expression, and "-e" keeps a path
// that begins with "-" a pattern.
constexpr const char* k_processes_command = "ps -o pid,args -A | grep -e \"$1\"";
constexpr const char* k_relaunch_command = "open -n \"$1\"";
constexpr const char* k_kill_command = "/usr/bin/killall Corvana";

constexpr double k_kill_poll_seconds = 0.2;
constexpr double k_kill_wait_seconds = 5.0;

bool tool_succeeded(const char* tool, const std::vector<std::string>& arguments) {
    return task_t::syncExec(tool, arguments) == 0;
}

// A number node of any kind, through the reader of its kind.
template <typename Number>
bool is_nonzero(plist_t node, void (*read)(plist_t, Number*)) {
    Number value{};
    read(node, &value);
    return value != 0;
}

// The platform's boolValue: numbers are true when not zero; texts when, after blanks, a sign and
// zeros, they begin with Y, T or a digit 1-9. Other kinds have no boolean value and read as false.
bool bool_value(plist_t node) {
    if (node == nullptr) {
        return false;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN:
            return is_nonzero(node, plist_get_bool_val);
        case PLIST_UINT:
            return is_nonzero(node, plist_get_uint_val);
        case PLIST_REAL:
            return is_nonzero(node, plist_get_real_val);
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            std::size_t at = 0;
            while (at < length && std::isspace(static_cast<unsigned char>(text[at]))) {
                ++at;
            }
            if (at < length && (text[at] == '+' || text[at] == '-')) {
                ++at;
            }
            while (at < length && text[at] == '0') {
                ++at;
            }
            return at < length && std::strchr("YyTt123456789", text[at]) != nullptr;
        }
        default:
            return false;
    }
}

// The job file's top-level dictionary, or nothing when it can't be read or is no dictionary.
std::optional<plist_node_t> read_job_file(const std::string& path, symlink_policy_t links) {
    auto job = read_property_list(path, links);
    if (!job || plist_get_node_type(job->get()) != PLIST_DICT) {
        return std::nullopt;
    }
    return std::move(job).value();
}

std::optional<bool> job_file_flag(const std::string& path, const char* key) {
    const std::optional<plist_node_t> job = read_job_file(path, symlink_policy_t::follow);
    if (!job) {
        return std::nullopt;
    }
    return bool_value(plist_dict_get_item(job->get(), key));
}

enum class job_edit_t { missing, unreadable, unwritten, written };

// Writing back never follows a link planted at the path: such a job file counts as unreadable.
job_edit_t set_job_file_flag(const std::string& path, const char* key, bool value) {
    if (!file_manager::exists(path)) {
        return job_edit_t::missing;
    }
    const std::optional<plist_node_t> job = read_job_file(path, symlink_policy_t::refuse);
    if (!job) {
        return job_edit_t::unreadable;
    }
    plist_dict_set_item(job->get(), key, plist_new_bool(value ? 1 : 0));
    return write_xml_property_list_atomically(path, job->get()) ? job_edit_t::written
                                                                : job_edit_t::unwritten;
}

}  // namespace

bool ExternalCommands::detect_sleep_proxy(int seconds) {
    task_t task;
    task.setLaunchPath(k_dns_sd);
    task.setArguments({"-B", k_sleep_proxy_service, "local"});
    const std::optional<std::string> output =
        task.syncStdOutExecuteWithTimeout(static_cast<double>(seconds));
    if (!output) {
        return false;
    }
    std::vector<std::string> pieces = split_at_newlines(*output);
    if (pieces.size() < 3) {
        return false;
    }
    // The first line names the browsed service type itself.
    pieces.erase(pieces.begin());
    return join(pieces, "\n").find(k_sleep_proxy_service) != std::string::npos;
}

bool ExternalCommands::ejectCorvanaDMG(const std::string& path) {
    return tool_succeeded(k_hdiutil, {"detach", path});
}

std::optional<std::vector<std::string>> ExternalCommands::processes_by_path(
    const std::string& path) {
    task_t task;
    task.setLaunchPath(k_sh);
    task.setArguments({"-c", k_processes_command, "sh", path});
    const std::optional<std::string> output = task.syncStdOutExecute();
    if (!output) {
        // A listing that succeeded but is no UTF-8 text lists nothing.
        if (task.terminationStatus() == 0) {
            return std::vector<std::string>{};
        }
        return std::nullopt;
    }
    std::vector<std::string> processes;
    for (const std::string& line : split_at_newlines(*output)) {
        const std::vector<std::string> fields = split_at_whitespace(line);
        if (fields.size() < 2) {
            continue;
        }
        bool names_grep = false;
        const std::string* pid = nullptr;
        for (const std::string& field : fields) {
            names_grep = names_grep || field == "grep";
            if (pid == nullptr && !field.empty()) {
                pid = &field;
            }
        }
        // The grep process and the shell running the pipeline both name the path too.
        if (names_grep) {
            continue;
        }
        processes.push_back(pid != nullptr ? *pid : line);
    }
    return processes;
}

bool ExternalCommands::kill_bundle_by_path(const std::string& bundle_path) {
    if (task_t::syncExec(k_bash, {"-c", k_kill_command}) != 0) {
        return false;
    }
    double elapsed = 0.0;
    std::size_t count = 0;
    do {
        std::this_thread::sleep_for(std::chrono::duration<double>(k_kill_poll_seconds));
        elapsed += k_kill_poll_seconds;
        const auto processes = processes_by_path(bundle_path);
        count = processes ? processes->size() : 0;
    } while (count != 0 && elapsed < k_kill_wait_seconds);
    return count == 0;
}

bool ExternalCommands::chmod(const std::string& path, const std::string& permissions,
                             bool recursively) {
    if (recursively) {
        return tool_succeeded(k_chmod, {"-R", permissions, path});
    }
    return tool_succeeded(k_chmod, {permissions, path});
}

bool ExternalCommands::chown(const std::string& path, const std::string& owner,
                             const std::string& group, bool recursively) {
    const std::string owner_and_group = owner + ":" + group;
    if (recursively) {
        return tool_succeeded(k_chown, {"-R", owner_and_group, path});
    }
    return tool_succeeded(k_chown, {owner_and_group, path});
}

bool ExternalCommands::start_app_at_path(const std::string& path) {
    return launch_application(path).ok();
}

bool ExternalCommands::removeOpenWarningFromCorvana(const std::string& path) {
    return tool_succeeded(k_xattr, {"-d", "-r", "com.apple.quarantine", path});
}

void ExternalCommands::relaunchCorvana() {
    (void)spawn_detached(k_sh, {"-c", k_relaunch_command, "sh", main_bundle_path().value_or("")});
}

bool ExternalCommands::unload_service(const std::string& path) {
    return tool_succeeded(k_launchctl, {"unload", path});
}

bool ExternalCommands::load_service(const std::string& path) {
    return tool_succeeded(k_launchctl, {"load", path});
}

bool ExternalCommands::stop_service(const std::string& label) {
    return tool_succeeded(k_launchctl, {"stop", label});
}

bool ExternalCommands::start_service(const std::string& label) {
    return tool_succeeded(k_launchctl, {"start", label});
}

bool ExternalCommands::remove_authorization(const std::string& right) {
    return tool_succeeded(k_security, {"authorizationdb", "remove", right});
}

bool ExternalCommands::unload_agent(const std::string& path) {
    return unload_service(path);
}

bool ExternalCommands::load_agent(const std::string& path) {
    return load_service(path);
}

bool ExternalCommands::stop_agent(const std::string& label) {
    return stop_service(label);
}

bool ExternalCommands::force_reboot() {
    return tool_succeeded(k_reboot, {});
}

bool ExternalCommands::is_service_disabled(const std::string& path) {
    if (!file_manager::exists(path)) {
        return false;
    }
    // A job file that can't be read counts as disabled.
    return job_file_flag(path, "Disabled").value_or(true);
}

bool ExternalCommands::is_service_run_at_load(const std::string& path) {
    if (!file_manager::exists(path)) {
        return false;
    }
    return job_file_flag(path, "RunAtLoad").value_or(false);
}

bool ExternalCommands::set_enable_service(const std::string& path, bool withStatus) {
    // The class has no helper object, so it logs through a context of its own.
    char name[] = "helper_tool";
    trace_t trace{name, nullptr, true};
    switch (set_job_file_flag(path, "Disabled", !withStatus)) {
        case job_edit_t::missing:
            job_file_missing_text();
            trace_error(&trace, hidden_text_buffer, path.c_str());
            return false;
        case job_edit_t::unreadable:
            job_file_unreadable_text();
            trace_error(&trace, hidden_text_buffer, path.c_str());
            return false;
        case job_edit_t::unwritten:
            return false;
        case job_edit_t::written:
            return true;
    }
    return false;
}

bool ExternalCommands::set_runatload_service(const std::string& path, bool withStatus) {
    return set_job_file_flag(path, "RunAtLoad", withStatus) == job_edit_t::written;
}
