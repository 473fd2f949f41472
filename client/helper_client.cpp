#include <corvana/helper_client.h>

#include <string_view>
#include <vector>

#include "client/helper_connection.h"
#include "platform/authorization/client_form.h"
#include "protocol/protocol_methods.h"

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

wire_value to_wire(bool flag) {
    return wire_value{flag};
}

wire_value to_wire(int number) {
    return wire_value{std::int64_t{number}};
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

// Calls m with arguments whose types must be, one for one, the kinds the protocol gives it, and
// answers its reply in the type of its reply kind. A guarded call waits longer: the helper may
// wait for a person to authenticate. A moved-from client has no connection and answers nothing.
// (The connection's type is the client's own; it is deduced here, not named.)
template <method M, class... Args>
std::optional<protocol::reply_type<M>> call(auto* connection, const Args&... args) {
    static_assert(protocol::takes<M, Args...>(), "the arguments are not the protocol's kinds");
    if (connection == nullptr) {
        return std::nullopt;
    }
    constexpr std::chrono::milliseconds at_least = protocol::info(M).guarded()
                                                       ? helper_client_t::k_authorization_timeout
                                                       : std::chrono::milliseconds{};
    return typed<protocol::reply_type<M>>(
        connection->raw.call(protocol::selector(M), {to_wire(args)...}, at_least));
}

}  // namespace

std::optional<ns_string> helper_client_t::get_version() {
    return call<method::get_version>(connection_.get());
}

std::optional<bool> helper_client_t::install_corvana_service_with(const ns_data& auth,
                                                                  const ns_string& for_namespace,
                                                                  const ns_string& user_config) {
    return call<method::install_service>(connection_.get(), auth, for_namespace, user_config);
}

std::optional<bool> helper_client_t::install_corvana_with_auth_data(const ns_data& auth_data,
                                                                    const ns_string& bundle_path,
                                                                    const ns_string& sysconfig_path,
                                                                    const ns_string& cv_namespace,
                                                                    const ns_string& user_name) {
    return call<method::install>(connection_.get(), auth_data, bundle_path, sysconfig_path,
                                 cv_namespace, user_name);
}

std::optional<bool> helper_client_t::uninstall_corvana_with_auth_data(
    const ns_data& auth_data, const ns_string& bundle_path, const ns_string& sysconfig_path,
    const ns_string& cv_namespace, const ns_string& user_name) {
    return call<method::uninstall>(connection_.get(), auth_data, bundle_path, sysconfig_path,
                                   cv_namespace, user_name);
}

std::optional<bool> helper_client_t::fixOSMaxFilesIfNeedAndReply() {
    return call<method::fix_max_files>(connection_.get());
}

std::optional<bool> helper_client_t::restart_corvana_with_bundle_path(
    const ns_string& bundle_path) {
    return call<method::restart>(connection_.get(), bundle_path);
}

std::optional<bool> helper_client_t::reboot_computer_with_reply() {
    return call<method::reboot>(connection_.get());
}

std::optional<bool> helper_client_t::start_service_with_namespace(const ns_string& ns) {
    return call<method::start_service>(connection_.get(), ns);
}

std::optional<bool> helper_client_t::is_service_installed_with_namespace(const ns_string& ns) {
    return call<method::is_service_installed>(connection_.get(), ns);
}

std::optional<bool> helper_client_t::is_service_disabled_with_namespace(const ns_string& ns) {
    return call<method::is_service_disabled>(connection_.get(), ns);
}

std::optional<bool> helper_client_t::is_service_run_at_load_with_namespace(const ns_string& ns) {
    return call<method::is_service_run_at_load>(connection_.get(), ns);
}

std::optional<bool> helper_client_t::set_tray_enabled(const ns_string& text, bool enabled,
                                                      const ns_string& bundle_path) {
    return call<method::set_tray_enabled>(connection_.get(), text, enabled, bundle_path);
}

std::optional<bool> helper_client_t::quit_service(const ns_string& ns) {
    return call<method::quit_service>(connection_.get(), ns);
}

std::optional<bool> helper_client_t::check_global_settings_auth(const ns_data& auth) {
    return call<method::check_global_settings_auth>(connection_.get(), auth);
}

std::optional<int> helper_client_t::set_darkwake_mode(int mode) {
    return call<method::set_darkwake_mode>(connection_.get(), mode);
}

std::optional<bool> helper_client_t::isAutostartEnabledForNamespace(const ns_string& ns) {
    return call<method::is_autostart_enabled>(connection_.get(), ns);
}

std::optional<bool> helper_client_t::setAutostartEnabled(bool enabled, const ns_string& ns) {
    return call<method::set_autostart_enabled>(connection_.get(), enabled, ns);
}

}  // namespace corvana
