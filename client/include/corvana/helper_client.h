#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <corvana/export.h>
#include <corvana/result.h>
#include <corvana/types.h>

namespace corvana {

using timeout_t = std::chrono::milliseconds;

// How long a call waits for its reply unless told otherwise.
inline constexpr timeout_t k_default_call_timeout = std::chrono::seconds{120};
// The guarded calls (install_application, install_service, uninstall_application,
// check_global_settings_right) may wait for a person to type an administrator's password, which
// the helper waits four minutes for.
inline constexpr timeout_t k_default_guarded_call_timeout = std::chrono::seconds{300};
// connect's wait for the socket and the daemon's word on admission: longer than the 30 s the
// daemon gives an admission under load, so that a slow admission ends in its verdict.
inline constexpr timeout_t k_default_connect_timeout = std::chrono::seconds{45};

// A connection to the helper daemon: one blocking call per remote method. Each call answers its
// value, or an error whose kind (<corvana/result.h>) says what kept it from one: a call answers
// timed_out, dropped or invalid_argument, connect answers refused, unreachable, timed_out or
// invalid_argument. A guarded call's false is a value: the helper answered, and did not do it.
// A call that was sent and got no reply in time, or whose connection went, leaves the client
// unusable; every later call answers dropped, and a new client must be connected.
//
// Threads: a client may be used from several threads at once. Their calls take turns on the
// one connection, each waiting for the one before to end; the wait counts against the waiting
// call's time-out, and a call whose time-out passes while it waits answers timed_out, having
// sent nothing. Moving, assigning or destroying a client while another thread calls it is not
// allowed, as for any object.
//
// A time-out past thirty days is taken as thirty days.
//
// Moved from, a client has no connection: every call answers dropped, and usable() is false.
// It may be assigned a connected client or destroyed.
//
// Loading the library makes the process non-dumpable: the helper serves only a client that no
// other process of its user can reach into.
class CORVANA_CLIENT_API helper_client_t {
  public:
    // The socket the daemon serves.
    static std::string default_socket_path();

    // A new authorization of this process's own, in the 32-byte external form the guarded calls
    // take; nothing when the system gave no random bytes. It holds no right: the first guarded
    // call that presents it has the system ask for the right (an administrator authenticates,
    // through the polkit agent of this process), and a right granted stays with it for five
    // minutes from its making, for this user only.
    static std::optional<authorization_t> make_authorization();

    // A client admitted by the daemon at socket_path. The time-out bounds the whole of it: the
    // socket's connection (which waits while the daemon's queue of connections is full) and the
    // daemon's word on admission.
    static result<helper_client_t> connect(const std::string& socket_path = default_socket_path(),
                                           timeout_t timeout = k_default_connect_timeout);

    helper_client_t(helper_client_t&& other) noexcept;
    helper_client_t& operator=(helper_client_t&& other) noexcept;
    ~helper_client_t();

    // Whether calls can still be answered: false once a call left the connection unusable, and
    // on a moved-from client.
    bool usable() const noexcept;

    // The helper's version text (empty when it sent none).
    result<std::string> version(timeout_t timeout = k_default_call_timeout);

    // The guarded calls: true when done, false when the helper refused the authorization or the
    // work failed (its log says which).
    result<bool> install_application(const install_request& request,
                                     timeout_t timeout = k_default_guarded_call_timeout);
    result<bool> uninstall_application(const uninstall_request& request,
                                       timeout_t timeout = k_default_guarded_call_timeout);
    result<bool> install_service(const service_install_request& request,
                                 timeout_t timeout = k_default_guarded_call_timeout);
    // Whether the authorization holds the right to unlock the global settings (asking for it
    // as the other guarded calls do).
    result<bool> check_global_settings_right(const authorization_t& authorization,
                                             timeout_t timeout = k_default_guarded_call_timeout);

    // Raise the service manager's open-files limit when it looks lowered.
    result<bool> raise_open_files_limit(timeout_t timeout = k_default_call_timeout);
    // Declared by the protocol, but the helper has no such operation: it answers false.
    result<bool> restart_application(const std::string& bundle_path,
                                     timeout_t timeout = k_default_call_timeout);
    result<bool> reboot(timeout_t timeout = k_default_call_timeout);
    // The dark wake mode: the value it had before, or -1 when the system reported none.
    result<int> set_dark_wake_mode(int mode, timeout_t timeout = k_default_call_timeout);
    // The helper changes nothing and answers true, whatever the arguments.
    result<bool> set_tray_enabled(const std::string& title, bool enabled,
                                  const std::string& bundle_path,
                                  timeout_t timeout = k_default_call_timeout);

    // The namespace's service job: start or stop it, and what its job files say.
    result<bool> start_service(const std::string& namespace_name,
                               timeout_t timeout = k_default_call_timeout);
    result<bool> quit_service(const std::string& namespace_name,
                              timeout_t timeout = k_default_call_timeout);
    result<bool> is_service_installed(const std::string& namespace_name,
                                      timeout_t timeout = k_default_call_timeout);
    result<bool> is_service_disabled(const std::string& namespace_name,
                                     timeout_t timeout = k_default_call_timeout);
    result<bool> is_service_run_at_load(const std::string& namespace_name,
                                        timeout_t timeout = k_default_call_timeout);
    result<bool> is_autostart_enabled(const std::string& namespace_name,
                                      timeout_t timeout = k_default_call_timeout);
    result<bool> set_autostart_enabled(const std::string& namespace_name, bool enabled,
                                       timeout_t timeout = k_default_call_timeout);

  private:
    // The connection and what keeps its calls in turn; kept out of this header so that a
    // program that links the library sees only its interface.
    struct connection_t;

    explicit helper_client_t(std::unique_ptr<connection_t> connection);

    std::unique_ptr<connection_t> connection_;
};

}  // namespace corvana
