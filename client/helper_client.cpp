#include <corvana/helper_client.h>

#include <string_view>
#include <vector>

#include "client/helper_connection.h"
#include "core/protocol_methods.h"
#include "platform/authorization/client_form.h"

namespace corvana {

struct helper_client_t::connection_t {
    helper_connection_t raw;
};

namespace {

using protocol::method;

wire_value to_wire(const ns_string& text) {
    return text ? wire_value{*text} : wire_value{wire_nil{}};
}

wire_value to_wire(const ns_data& data) {
    return data ? wire_value{*data} : wire_value{wire_nil{}};
}

template <class T>
std::optional<T> typed(std::optional<wire_value> value) {
    if (!value) {
        return std::nullopt;
    }
    if constexpr (std::is_same_v<T, int>) {
        if (const auto* number = std::get_if<std::int64_t>(&*value)) {
            return static_cast<int>(*number);
        }
    } else if constexpr (std::is_same_v<T, ns_string>) {
        if (auto* text = std::get_if<std::string>(&*value)) {
            return ns_string{std::move(*text)};
        }
        if (std::holds_alternative<wire_nil>(*value)) {
            return ns_string{};
        }
    } else if (const auto* flag = std::get_if<T>(&*value)) {
        return *flag;
    }
    return std::nullopt;
}

}  // namespace

helper_client_t::helper_client_t(helper_client_t&& other) noexcept = default;
helper_client_t& helper_client_t::operator=(helper_client_t&& other) noexcept = default;
helper_client_t::~helper_client_t() = default;

std::string helper_client_t::default_socket_path() {
    return helper_socket_path();
}

ns_data helper_client_t::make_authorization() {
    client_form_bytes_t form{};
    if (!make_client_form(form)) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(form.begin(), form.end());
}

std::optional<helper_client_t> helper_client_t::connect(const std::string& socket_path,
                                                        std::string& error,
                                                        std::chrono::milliseconds timeout) {
    auto raw = helper_connection_t::connect(socket_path, error, timeout);
    if (!raw) {
        return std::nullopt;
    }
    helper_client_t client;
    client.connection_ = std::make_unique<connection_t>(connection_t{std::move(*raw)});
    return client;
}

namespace {

// A moved-from client has no connection and answers nothing. (The connection's type is the
// client's own; it is deduced here, not named.)
template <class T>
std::optional<T> call(auto* connection, method called, std::vector<wire_value> args = {}) {
    if (connection == nullptr) {
        return std::nullopt;
    }
    return typed<T>(connection->raw.call(protocol::selector(called), std::move(args)));
}

// A guarded call: the helper may wait for a person to authenticate.
std::optional<bool> guarded_call(auto* connection, method called, std::vector<wire_value> args) {
    if (connection == nullptr) {
        return std::nullopt;
    }
    return typed<bool>(connection->raw.call(protocol::selector(called), std::move(args),
                                            helper_client_t::k_authorization_timeout));
}

}  // namespace

std::optional<ns_string> helper_client_t::get_version() {
    return call<ns_string>(connection_.get(), method::get_version);
}

std::optional<bool> helper_client_t::install_corvana_service_with(const ns_data& auth,
                                                                  const ns_string& for_namespace,
                                                                  const ns_string& user_config) {
    return guarded_call(connection_.get(), method::install_service,
                        {to_wire(auth), to_wire(for_namespace), to_wire(user_config)});
}

std::optional<bool> helper_client_t::install_corvana_with_auth_data(const ns_data& auth_data,
                                                                    const ns_string& bundle_path,
                                                                    const ns_string& sysconfig_path,
                                                                    const ns_string& cv_namespace,
                                                                    const ns_string& user_name) {
    return guarded_call(connection_.get(), method::install,
                        {to_wire(auth_data), to_wire(bundle_path), to_wire(sysconfig_path),
                         to_wire(cv_namespace), to_wire(user_name)});
}

std::optional<bool> helper_client_t::uninstall_corvana_with_auth_data(
    const ns_data& auth_data, const ns_string& bundle_path, const ns_string& sysconfig_path,
    const ns_string& cv_namespace, const ns_string& user_name) {
    return guarded_call(connection_.get(), method::uninstall,
                        {to_wire(auth_data), to_wire(bundle_path), to_wire(sysconfig_path),
                         to_wire(cv_namespace), to_wire(user_name)});
}

std::optional<bool> helper_client_t::fixOSMaxFilesIfNeedAndReply() {
    return call<bool>(connection_.get(), method::fix_max_files);
}

std::optional<bool> helper_client_t::restart_corvana_with_bundle_path(
    const ns_string& bundle_path) {
    return call<bool>(connection_.get(), method::restart, {to_wire(bundle_path)});
}

std::optional<bool> helper_client_t::reboot_computer_with_reply() {
    return call<bool>(connection_.get(), method::reboot);
}

std::optional<bool> helper_client_t::start_service_with_namespace(const ns_string& ns) {
    return call<bool>(connection_.get(), method::start_service, {to_wire(ns)});
}

std::optional<bool> helper_client_t::is_service_installed_with_namespace(const ns_string& ns) {
    return call<bool>(connection_.get(), method::is_service_installed, {to_wire(ns)});
}

std::optional<bool> helper_client_t::is_service_disabled_with_namespace(const ns_string& ns) {
    return call<bool>(connection_.get(), method::is_service_disabled, {to_wire(ns)});
}

std::optional<bool> helper_client_t::is_service_run_at_load_with_namespace(const ns_string& ns) {
    return call<bool>(connection_.get(), method::is_service_run_at_load, {to_wire(ns)});
}

std::optional<bool> helper_client_t::set_tray_enabled(const ns_string& text, bool enabled,
                                                      const ns_string& bundle_path) {
    return call<bool>(connection_.get(), method::set_tray_enabled,
                      {to_wire(text), wire_value{enabled}, to_wire(bundle_path)});
}

std::optional<bool> helper_client_t::quit_service(const ns_string& ns) {
    return call<bool>(connection_.get(), method::quit_service, {to_wire(ns)});
}

std::optional<bool> helper_client_t::check_global_settings_auth(const ns_data& auth) {
    return guarded_call(connection_.get(), method::check_global_settings_auth, {to_wire(auth)});
}

std::optional<int> helper_client_t::set_darkwake_mode(int mode) {
    return call<int>(connection_.get(), method::set_darkwake_mode,
                     {wire_value{std::int64_t{mode}}});
}

std::optional<bool> helper_client_t::isAutostartEnabledForNamespace(const ns_string& ns) {
    return call<bool>(connection_.get(), method::is_autostart_enabled, {to_wire(ns)});
}

std::optional<bool> helper_client_t::setAutostartEnabled(bool enabled, const ns_string& ns) {
    return call<bool>(connection_.get(), method::set_autostart_enabled,
                      {wire_value{enabled}, to_wire(ns)});
}

}  // namespace corvana
