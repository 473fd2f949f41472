// Remote requests that change settings of the whole machine: launchd's open-files limit, the
// dark-wake power setting and a reboot.
#include <sys/resource.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "helper/helper_tool.h"
#include "system/external_commands.h"
#include "system/process_runner.h"
#include "system/sysctl_report.h"
#include "system/system_tweaks.h"

namespace {

constexpr const char* k_launchctl = "/bin/launchctl";
constexpr rlim_t k_low_soft_limit = 1023;
constexpr const char* k_new_soft_limit = "65536";
constexpr const char* k_new_hard_limit = "1000000";

constexpr const char* k_sysctl = "/usr/sbin/sysctl";

}  // namespace

void check_open_files_limits(helper_tool_t& tool, const struct rlimit& limits) {
    // The unlimited hard limit converts to -1, which is how it shows in the trace.
    trace_info(tool.trace(), "os maxfiles values %d : %d", static_cast<int>(limits.rlim_cur),
               static_cast<int>(limits.rlim_max));
    // launchd hands out an unlimited hard limit unless something lowered it.
    if (limits.rlim_max == RLIM_INFINITY) {
        return;
    }
    trace_warning(tool.trace(), "os maxfiles seems to be modified by 3rd party software");
    if (limits.rlim_cur <= k_low_soft_limit) {
        trace_warning(tool.trace(), "Adjusting macOS settings (launchctl limit maxfiles)..");
        // Whether launchd took the new limit shows only in later processes' limits.
        (void)tool._hackOSMaxFiles();
    }
}

void helper_tool_t::fixOSMaxFilesIfNeedAndReply(reply_t<bool> reply) {
    struct rlimit limits {};
    if (getrlimit(RLIMIT_NOFILE, &limits) != 0) {
        const int error = errno;
        trace_warning(_trace.get(), "Can't get RLIMIT_NOFILE (%d)", error);
    } else {
        check_open_files_limits(*this, limits);
    }
    // The start-up run passes no reply block.
    if (reply) {
        reply(true);
    }
}

int helper_tool_t::_hackOSMaxFiles() {
    return task_t::syncExec(k_launchctl, {"limit", "maxfiles", k_new_soft_limit, k_new_hard_limit});
}

void helper_tool_t::set_darkwake_mode(int mode, reply_t<int> reply) {
    task_t task;
    task.setLaunchPath(k_sysctl);
    task.setArguments({"debug.darkwake=" + std::to_string(mode)});
    const std::optional<std::string> report = task.syncStdOutExecute();

    int result = k_darkwake_failure;
    if (report) {
        result = darkwake_value_from_report(*report);
        // The report is tool output, never a format.
        trace_info(_trace.get(), "%s", report->c_str());
    } else {
        trace_info(_trace.get(), "sysctl reported nothing for debug.darkwake=%d", mode);
    }
    if (result == k_darkwake_failure) {
        trace_error(_trace.get(), "setting darkwake mode failed");
    }
    reply(result);
}

void helper_tool_t::reboot_computer_with_reply(reply_t<bool> reply) {
    reply(ExternalCommands::force_reboot());
}
