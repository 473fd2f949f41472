#pragma once

#include <optional>
#include <string>
#include <vector>

// Every action carried out by a system tool, by launchd's job files or by the application
// launcher. No instances, no state: class-level methods only. Text arguments reach the tools as
// single arguments, unchanged.
class ExternalCommands {
  public:
    ExternalCommands() = delete;

    static bool detect_sleep_proxy(int seconds);
    static bool ejectCorvanaDMG(const std::string& path);
    // One entry per matching process line; no list when the listing failed.
    static std::optional<std::vector<std::string>> processes_by_path(const std::string& path);
    static bool kill_bundle_by_path(const std::string& bundle_path);
    static bool chmod(const std::string& path, const std::string& permissions, bool recursively);
    static bool chown(const std::string& path, const std::string& owner, const std::string& group,
                      bool recursively);
    static bool start_app_at_path(const std::string& path);
    static bool removeOpenWarningFromCorvana(const std::string& path);
    static void relaunchCorvana();
    static bool unload_service(const std::string& path);
    static bool load_service(const std::string& path);
    static bool stop_service(const std::string& label);
    static bool start_service(const std::string& label);
    static bool remove_authorization(const std::string& right);
    static bool unload_agent(const std::string& path);
    static bool load_agent(const std::string& path);
    static bool stop_agent(const std::string& label);
    static bool force_reboot();
    static bool is_service_disabled(const std::string& path);
    static bool is_service_run_at_load(const std::string& path);
    static bool set_enable_service(const std::string& path, bool withStatus);
    static bool set_runatload_service(const std::string& path, bool withStatus);
};
