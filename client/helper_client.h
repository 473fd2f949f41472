#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.h"
#include "platform/ipc/xpc_message.h"
#include "platform/posix/unique_fd.h"

// A client of the helper daemon: one blocking call per remote method, over the daemon's socket.
// Every call answers its typed reply, or nothing when the connection was refused or dropped, the
// daemon did not answer in time, or the arguments can't be sent (texts with NUL bytes or invalid
// UTF-8, messages over the size limit).
class helper_client_t {
  public:
    static constexpr std::chrono::seconds k_default_timeout{120};

    // The socket the daemon serves by default.
    static std::string default_socket_path();

    // Nothing when the socket can't be reached; error then says why.
    static std::optional<helper_client_t> connect(
        const std::string& socket_path, std::string& error,
        std::chrono::milliseconds timeout = k_default_timeout);

    std::optional<ns_string> get_version();
    std::optional<bool> install_corvana_service_with(const ns_data& auth,
                                                     const ns_string& for_namespace,
                                                     const ns_string& user_config);
    std::optional<bool> install_corvana_with_auth_data(const ns_data& auth_data,
                                                       const ns_string& bundle_path,
                                                       const ns_string& sysconfig_path,
                                                       const ns_string& cv_namespace,
                                                       const ns_string& user_name);
    std::optional<bool> uninstall_corvana_with_auth_data(const ns_data& auth_data,
                                                         const ns_string& bundle_path,
                                                         const ns_string& sysconfig_path,
                                                         const ns_string& cv_namespace,
                                                         const ns_string& user_name);
    std::optional<bool> fixOSMaxFilesIfNeedAndReply();
    std::optional<bool> restart_corvana_with_bundle_path(const ns_string& bundle_path);
    std::optional<bool> reboot_computer_with_reply();
    std::optional<bool> start_service_with_namespace(const ns_string& cv_namespace);
    std::optional<bool> is_service_installed_with_namespace(const ns_string& cv_namespace);
    std::optional<bool> is_service_disabled_with_namespace(const ns_string& cv_namespace);
    std::optional<bool> is_service_run_at_load_with_namespace(const ns_string& cv_namespace);
    std::optional<bool> set_tray_enabled(const ns_string& text, bool enabled,
                                         const ns_string& bundle_path);
    std::optional<bool> quit_service(const ns_string& cv_namespace);
    std::optional<bool> check_global_settings_auth(const ns_data& auth);
    std::optional<int> set_darkwake_mode(int mode);
    std::optional<bool> isAutostartEnabledForNamespace(const ns_string& cv_namespace);
    std::optional<bool> setAutostartEnabled(bool enabled, const ns_string& cv_namespace);

    // Sends any selector with any arguments and answers the raw reply value; for tools and tests
    // that speak the protocol directly.
    std::optional<wire_value> call(std::string_view selector, std::vector<wire_value> args);

  private:
    helper_client_t(unique_fd socket, std::chrono::milliseconds timeout)
        : socket_(std::move(socket)), timeout_(timeout) {}

    std::optional<bool> call_bool(std::string_view selector, std::vector<wire_value> args);

    unique_fd socket_;
    std::chrono::milliseconds timeout_;
    std::uint64_t next_id_ = 1;
    bool broken_ = false;
};

wire_value to_wire(const ns_string& text);
wire_value to_wire(const ns_data& data);
