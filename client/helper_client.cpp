#include <corvana/helper_client.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <type_traits>

#include "client/helper_connection.h"
#include "platform/authorization/client_form.h"
#include "protocol/protocol_methods.h"

namespace corvana {

// The mutex keeps the calls of several threads in turn: a connection carries one call at a
// time, and a reply is matched to the call that waits for it. usable mirrors the connection's
// state for readers that must not wait for a call in progress.
struct helper_client_t::connection_t {
    explicit connection_t(helper_connection_t connected) : raw(std::move(connected)) {}

    std::timed_mutex turn;
    helper_connection_t raw;
    std::atomic<bool> usable{true};
};

namespace {

using protocol::method;
using clock_type = std::chrono::steady_clock;

wire_value to_wire(const ns_string& text) {
    return text ? wire_value{*text} : wire_value{wire_nil{}};
}

wire_value to_wire(const ns_data& data) {
    return data ? wire_value{*data} : wire_value{wire_nil{}};
}

wire_value to_wire(bool flag) {
    return wire_value{flag};
}

wire_value to_wire(int number) {
    return wire_value{std::int64_t{number}};
}

// The reply in the type its kind travels in, as the interface gives it: a nil text is empty.
// A reply of another kind is out of step, and the connection with it.
template <class T>
std::optional<T> typed(wire_value value) {
    if constexpr (std::is_same_v<T, int>) {
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            return static_cast<int>(*number);
        }
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (auto* text = std::get_if<std::string>(&value)) {
            return std::move(*text);
        }
        if (std::holds_alternative<wire_nil>(value)) {
            return std::string();
        }
    } else if (const auto* flag = std::get_if<T>(&value)) {
        return *flag;
    }
    return std::nullopt;
}

template <class T>
using interface_type = std::conditional_t<std::is_same_v<T, ns_string>, std::string, T>;

error named(const char* call, error failed) {
    failed.message = std::string(call) + ": " + failed.message;
    return failed;
}

}  // namespace

helper_client_t::helper_client_t(std::unique_ptr<connection_t> connection)
    : connection_(std::move(connection)) {}
helper_client_t::helper_client_t(helper_client_t&& other) noexcept = default;
helper_client_t& helper_client_t::operator=(helper_client_t&& other) noexcept = default;
helper_client_t::~helper_client_t() = default;

std::string helper_client_t::default_socket_path() {
    return helper_socket_path();
}

std::optional<authorization_t> helper_client_t::make_authorization() {
    client_form_bytes_t form{};
    if (!make_client_form(form)) {
        return std::nullopt;
    }
    return authorization_t(form.begin(), form.end());
}

result<helper_client_t> helper_client_t::connect(const std::string& socket_path,
                                                 timeout_t timeout) {
    auto raw = helper_connection_t::connect(socket_path, timeout);
    if (!raw) {
        // Its message says what was tried on what already.
        return std::move(raw).error();
    }
    return helper_client_t(std::make_unique<connection_t>(std::move(*raw)));
}

bool helper_client_t::usable() const noexcept {
    return connection_ != nullptr && connection_->usable.load();
}

namespace {

// Calls m with arguments whose types must be, one for one, the kinds the protocol gives it, and
// answers its reply in the interface's type for its reply kind. The wait for this client's turn
// is part of the time-out. (The connection's type is the client's own; it is deduced here, not
// named.)
template <method M, class... Args>
result<interface_type<protocol::reply_type<M>>> call(auto* connection, const char* name,
                                                     timeout_t timeout, const Args&... args) {
    static_assert(protocol::takes<M, Args...>(), "the arguments are not the protocol's kinds");
    using reply = interface_type<protocol::reply_type<M>>;
    if (connection == nullptr) {
        return error{error_kind::dropped,
                     std::string(name) + ": this client was moved from; it has no connection"};
    }
    const auto deadline = deadline_after(timeout);
    std::unique_lock turn(connection->turn, std::defer_lock);
    if (!turn.try_lock_until(deadline)) {
        return error{error_kind::timed_out, std::string(name) +
                                                ": another thread's call held this client for " +
                                                std::to_string(timeout.count()) + " ms"};
    }
    const auto left = std::chrono::duration_cast<timeout_t>(deadline - clock_type::now());
    auto value = connection->raw.call(protocol::selector(M), {to_wire(args)...},
                                      std::max(left, timeout_t{0}));
    if (!value) {
        connection->usable = connection->raw.usable();
        return named(name, std::move(value).error());
    }
    if (auto typed_reply = typed<reply>(std::move(*value))) {
        return std::move(*typed_reply);
    }
    connection->usable = false;
    return error{error_kind::dropped,
                 std::string(name) + ": the helper's reply is of another kind"};
}

ns_string text(const std::string& value) {
    return value;
}

ns_data data(const authorization_t& value) {
    return value;
}

}  // namespace

result<std::string> helper_client_t::version(timeout_t timeout) {
    return call<method::get_version>(connection_.get(), __func__, timeout);
}

result<bool> helper_client_t::install_application(const install_request& request,
                                                  timeout_t timeout) {
    return call<method::install>(connection_.get(), __func__, timeout, data(request.authorization),
                                 text(request.bundle_path), text(request.sysconfig_path),
                                 text(request.namespace_name), request.user_name);
}

result<bool> helper_client_t::uninstall_application(const uninstall_request& request,
                                                    timeout_t timeout) {
    return call<method::uninstall>(connection_.get(), __func__, timeout,
                                   data(request.authorization), text(request.bundle_path),
                                   request.sysconfig_path, text(request.namespace_name),
                                   request.user_name);
}

result<bool> helper_client_t::install_service(const service_install_request& request,
                                              timeout_t timeout) {
    return call<method::install_service>(connection_.get(), __func__, timeout,
                                         data(request.authorization), text(request.namespace_name),
                                         text(request.config_directory));
}

result<bool> helper_client_t::check_global_settings_right(const authorization_t& authorization,
                                                          timeout_t timeout) {
    return call<method::check_global_settings_auth>(connection_.get(), __func__, timeout,
                                                    data(authorization));
}

result<bool> helper_client_t::raise_open_files_limit(timeout_t timeout) {
    return call<method::fix_max_files>(connection_.get(), __func__, timeout);
}

result<bool> helper_client_t::restart_application(const std::string& bundle_path,
                                                  timeout_t timeout) {
    return call<method::restart>(connection_.get(), __func__, timeout, text(bundle_path));
}

result<bool> helper_client_t::reboot(timeout_t timeout) {
    return call<method::reboot>(connection_.get(), __func__, timeout);
}

result<int> helper_client_t::set_dark_wake_mode(int mode, timeout_t timeout) {
    return call<method::set_darkwake_mode>(connection_.get(), __func__, timeout, mode);
}

result<bool> helper_client_t::set_tray_enabled(const std::string& title, bool enabled,
                                               const std::string& bundle_path, timeout_t timeout) {
    return call<method::set_tray_enabled>(connection_.get(), __func__, timeout, text(title),
                                          enabled, text(bundle_path));
}

result<bool> helper_client_t::start_service(const std::string& namespace_name, timeout_t timeout) {
    return call<method::start_service>(connection_.get(), __func__, timeout, text(namespace_name));
}

result<bool> helper_client_t::quit_service(const std::string& namespace_name, timeout_t timeout) {
    return call<method::quit_service>(connection_.get(), __func__, timeout, text(namespace_name));
}

result<bool> helper_client_t::is_service_installed(const std::string& namespace_name,
                                                   timeout_t timeout) {
    return call<method::is_service_installed>(connection_.get(), __func__, timeout,
                                              text(namespace_name));
}

result<bool> helper_client_t::is_service_disabled(const std::string& namespace_name,
                                                  timeout_t timeout) {
    return call<method::is_service_disabled>(connection_.get(), __func__, timeout,
                                             text(namespace_name));
}

result<bool> helper_client_t::is_service_run_at_load(const std::string& namespace_name,
                                                     timeout_t timeout) {
    return call<method::is_service_run_at_load>(connection_.get(), __func__, timeout,
                                                text(namespace_name));
}

result<bool> helper_client_t::is_autostart_enabled(const std::string& namespace_name,
                                                   timeout_t timeout) {
    return call<method::is_autostart_enabled>(connection_.get(), __func__, timeout,
                                              text(namespace_name));
}

result<bool> helper_client_t::set_autostart_enabled(const std::string& namespace_name, bool enabled,
                                                    timeout_t timeout) {
    return call<method::set_autostart_enabled>(connection_.get(), __func__, timeout, enabled,
                                               text(namespace_name));
}

}  // namespace corvana
