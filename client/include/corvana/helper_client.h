#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <corvana/export.h>
#include <corvana/types.h>

namespace corvana {

// A client of the helper daemon: one blocking call per remote method, over the daemon's socket.
// Every call answers its typed reply, or nothing when the connection was refused or dropped, the
// daemon did not answer in time, or the arguments can't be sent (texts with NUL bytes or invalid
// UTF-8, messages over the size limit). A call that was sent and got no answer leaves the client
// unusable: every later call answers nothing, and a new one must be connected.
//
// Loading the library makes the process non-dumpable: the helper serves only a client that no
// other process of its user can reach into.
class CORVANA_CLIENT_API helper_client_t {
  public:
    static constexpr std::chrono::seconds k_default_timeout{120};
    // The four guarded calls wait at least this long: the helper may be waiting for a person to
    // type an administrator's password (it gives up after four minutes).
    static constexpr std::chrono::seconds k_authorization_timeout{300};

    // The socket the daemon serves by default.
    static std::string default_socket_path();

    // A new authorization of this process's own, in the 32-byte external form the guarded calls
    // take; nothing when the system gave no random bytes. It holds no right: the first guarded
    // call that presents it has the system ask for the right (an administrator authenticates,
    // through the polkit agent of this process), and a right granted stays with it for five
    // minutes from its making, for this user only. Keep it secret, as a password.
    static ns_data make_authorization();

    // Nothing when the socket can't be reached or the daemon refuses the connection; error then
    // says why. timeout bounds the wait for admission and for each call's reply.
    static std::optional<helper_client_t> connect(
        const std::string& socket_path, std::string& error,
        std::chrono::milliseconds timeout = k_default_timeout);

    helper_client_t(helper_client_t&& other) noexcept;
    helper_client_t& operator=(helper_client_t&& other) noexcept;
    ~helper_client_t();

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

  private:
    // The connection; kept out of this header so that a program that links the library sees
    // only its interface.
    struct connection_t;

    helper_client_t() = default;

    std::unique_ptr<connection_t> connection_;
};

}  // namespace corvana
