#include "client/helper_client.h"

#include <sys/prctl.h>

#include "core/protocol_methods.h"
#include "platform/ipc/frame_io.h"

namespace {

using protocol::method;
using protocol::selector;

constexpr std::string_view k_service_name = "com.quillmark.corvana-cv-5e09b1d4.Helper";

// The helper serves only a client that no other process of its user can reach into: a
// non-dumpable process can't be traced, nor its memory read or written, nor its descriptors
// copied by anyone without CAP_SYS_PTRACE. Done as soon as the library is loaded, to make the
// time after exec in which the client is still reachable as short as it can be, and again
// before each connection in case the program turned it back on.
void keep_other_processes_out() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

[[maybe_unused]] const bool kept_out_at_load = [] {
    keep_other_processes_out();
    return true;
}();

// The helper's first message says the connection was admitted; a client sends nothing before it.
bool admitted(int socket, std::chrono::milliseconds timeout, std::string& error) {
    std::vector<std::uint8_t> payload;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (read_frame(socket, payload, deadline, timeout) == frame_read::frame) {
        auto decoded = decode_reply(payload);
        auto* reply = std::get_if<wire_reply>(&decoded);
        if (reply != nullptr && reply->id == k_admission_reply_id &&
            reply->value == wire_value{true}) {
            return true;
        }
    }
    error = "the helper refused the connection (is this program signed as the helper requires?)";
    return false;
}

}  // namespace

wire_value to_wire(const ns_string& text) {
    return text ? wire_value{*text} : wire_value{wire_nil{}};
}

wire_value to_wire(const ns_data& data) {
    return data ? wire_value{*data} : wire_value{wire_nil{}};
}

std::string helper_client_t::default_socket_path() {
    return service_socket_path(k_service_name);
}

std::optional<helper_client_t> helper_client_t::connect(const std::string& socket_path,
                                                        std::string& error,
                                                        std::chrono::milliseconds timeout) {
    keep_other_processes_out();
    unique_fd fd = connect_unix_socket(socket_path, &error);
    if (!fd || !admitted(fd.get(), timeout, error)) {
        return std::nullopt;
    }
    return helper_client_t(std::move(fd), timeout);
}

std::optional<wire_value> helper_client_t::call(std::string_view selector,
                                                std::vector<wire_value> args) {
    if (broken_) {
        return std::nullopt;
    }
    std::uint64_t id = next_id_++;
    auto frame = encode_request(wire_request{std::string(selector), id, std::move(args)});
    if (!frame) {
        return std::nullopt;
    }
    // Anything short of a well-formed answer to this call leaves the connection unusable.
    broken_ = true;
    if (!send_all(socket_.get(), *frame)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> payload;
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    if (read_frame(socket_.get(), payload, deadline, timeout_) != frame_read::frame) {
        return std::nullopt;
    }
    auto decoded = decode_reply(payload);
    auto* reply = std::get_if<wire_reply>(&decoded);
    if (reply == nullptr || reply->id != id) {
        return std::nullopt;
    }
    broken_ = false;
    return std::move(reply->value);
}

std::optional<bool> helper_client_t::call_bool(std::string_view selector,
                                               std::vector<wire_value> args) {
    auto value = call(selector, std::move(args));
    if (!value || !std::holds_alternative<bool>(*value)) {
        return std::nullopt;
    }
    return std::get<bool>(*value);
}

std::optional<ns_string> helper_client_t::get_version() {
    auto value = call(selector(method::get_version), {});
    if (!value) {
        return std::nullopt;
    }
    if (auto* text = std::get_if<std::string>(&*value)) {
        return ns_string{*text};
    }
    if (std::holds_alternative<wire_nil>(*value)) {
        return ns_string{};
    }
    return std::nullopt;
}

std::optional<bool> helper_client_t::install_corvana_service_with(const ns_data& auth,
                                                                  const ns_string& for_namespace,
                                                                  const ns_string& user_config) {
    return call_bool(selector(method::install_service),
                     {to_wire(auth), to_wire(for_namespace), to_wire(user_config)});
}

std::optional<bool> helper_client_t::install_corvana_with_auth_data(const ns_data& auth_data,
                                                                    const ns_string& bundle_path,
                                                                    const ns_string& sysconfig_path,
                                                                    const ns_string& cv_namespace,
                                                                    const ns_string& user_name) {
    return call_bool(selector(method::install),
                     {to_wire(auth_data), to_wire(bundle_path), to_wire(sysconfig_path),
                      to_wire(cv_namespace), to_wire(user_name)});
}

std::optional<bool> helper_client_t::uninstall_corvana_with_auth_data(
    const ns_data& auth_data, const ns_string& bundle_path, const ns_string& sysconfig_path,
    const ns_string& cv_namespace, const ns_string& user_name) {
    return call_bool(selector(method::uninstall),
                     {to_wire(auth_data), to_wire(bundle_path), to_wire(sysconfig_path),
                      to_wire(cv_namespace), to_wire(user_name)});
}

std::optional<bool> helper_client_t::fixOSMaxFilesIfNeedAndReply() {
    return call_bool(selector(method::fix_max_files), {});
}

std::optional<bool> helper_client_t::restart_corvana_with_bundle_path(
    const ns_string& bundle_path) {
    return call_bool(selector(method::restart), {to_wire(bundle_path)});
}

std::optional<bool> helper_client_t::reboot_computer_with_reply() {
    return call_bool(selector(method::reboot), {});
}

std::optional<bool> helper_client_t::start_service_with_namespace(const ns_string& ns) {
    return call_bool(selector(method::start_service), {to_wire(ns)});
}

std::optional<bool> helper_client_t::is_service_installed_with_namespace(const ns_string& ns) {
    return call_bool(selector(method::is_service_installed), {to_wire(ns)});
}

std::optional<bool> helper_client_t::is_service_disabled_with_namespace(const ns_string& ns) {
    return call_bool(selector(method::is_service_disabled), {to_wire(ns)});
}

std::optional<bool> helper_client_t::is_service_run_at_load_with_namespace(const ns_string& ns) {
    return call_bool(selector(method::is_service_run_at_load), {to_wire(ns)});
}

std::optional<bool> helper_client_t::set_tray_enabled(const ns_string& text, bool enabled,
                                                      const ns_string& bundle_path) {
    return call_bool(selector(method::set_tray_enabled),
                     {to_wire(text), wire_value{enabled}, to_wire(bundle_path)});
}

std::optional<bool> helper_client_t::quit_service(const ns_string& ns) {
    return call_bool(selector(method::quit_service), {to_wire(ns)});
}

std::optional<bool> helper_client_t::check_global_settings_auth(const ns_data& auth) {
    return call_bool(selector(method::check_global_settings_auth), {to_wire(auth)});
}

std::optional<int> helper_client_t::set_darkwake_mode(int mode) {
    auto value = call(selector(method::set_darkwake_mode), {wire_value{std::int64_t{mode}}});
    if (!value || !std::holds_alternative<std::int64_t>(*value)) {
        return std::nullopt;
    }
    return static_cast<int>(std::get<std::int64_t>(*value));
}

std::optional<bool> helper_client_t::isAutostartEnabledForNamespace(const ns_string& ns) {
    return call_bool(selector(method::is_autostart_enabled), {to_wire(ns)});
}

std::optional<bool> helper_client_t::setAutostartEnabled(bool enabled, const ns_string& ns) {
    return call_bool(selector(method::set_autostart_enabled), {wire_value{enabled}, to_wire(ns)});
}
