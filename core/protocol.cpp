#include "core/protocol.h"

#include "core/helper_tool.h"

namespace {

using k = wire_kind;

ns_string text_arg(wire_value& value) {
    if (auto* text = std::get_if<std::string>(&value)) {
        return std::move(*text);
    }
    return std::nullopt;
}

ns_data data_arg(wire_value& value) {
    if (auto* bytes = std::get_if<wire_bytes>(&value)) {
        return std::move(*bytes);
    }
    return std::nullopt;
}

bool bool_arg(const wire_value& value) {
    return std::get<bool>(value);
}

int int_arg(const wire_value& value) {
    // The protocol's int is 32 bits; wider values are cut as the platform's coder would.
    return static_cast<int>(std::get<std::int64_t>(value));
}

reply_t<bool> bool_reply(std::function<void(wire_value)> reply) {
    return [reply = std::move(reply)](bool value) { reply(wire_value{value}); };
}

}  // namespace

const std::array<method_signature_t, 17> k_corvana_helper_protocol = {{
    {"get_version_with_reply:", {}, k::text},
    {"install_corvana_service_with:for_namespace:user_config:reply:",
     {k::data, k::text, k::text},
     k::boolean},
    {"install_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:with_cv_namespace:"
     "with_user_name:with_reply:",
     {k::data, k::text, k::text, k::text, k::text},
     k::boolean},
    {"uninstall_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:with_cv_namespace:"
     "with_user_name:with_reply:",
     {k::data, k::text, k::text, k::text, k::text},
     k::boolean},
    {"fixOSMaxFilesIfNeedAndReply:", {}, k::boolean},
    {"restart_corvana_with_bundle_path:and_reply:", {k::text}, k::boolean},
    {"reboot_computer_with_reply:", {}, k::boolean},
    {"start_service_with_namespace:with_reply:", {k::text}, k::boolean},
    {"is_service_installed_with_namespace:with_reply:", {k::text}, k::boolean},
    {"is_service_disabled_with_namespace:with_reply:", {k::text}, k::boolean},
    {"is_service_run_at_load_with_namespace:with_reply:", {k::text}, k::boolean},
    {"set_tray_enabled:with_enabled:with_bundle_path:with_reply:",
     {k::text, k::boolean, k::text},
     k::boolean},
    {"quit_service:with_reply:", {k::text}, k::boolean},
    {"check_global_settings_auth:reply:", {k::data}, k::boolean},
    {"set_darkwake_mode:reply:", {k::integer}, k::integer},
    {"isAutostartEnabledForNamespace:reply:", {k::text}, k::boolean},
    {"setAutostartEnabled:forNamespace:reply:", {k::boolean, k::text}, k::boolean},
}};

const xpc_interface_t& corvana_helper_interface() {
    static const xpc_interface_t interface { k_corvana_helper_protocol };
    return interface;
}

void invoke_helper_method(helper_tool_t& helper, std::size_t method, std::vector<wire_value> a,
                          std::function<void(wire_value)> reply) {
    switch (method) {
        case 0:
            helper.get_version_with_reply([reply](ns_string version) {
                reply(version ? wire_value{*version} : wire_value{wire_nil{}});
            });
            return;
        case 1:
            helper.install_corvana_service_with(data_arg(a[0]), text_arg(a[1]), text_arg(a[2]),
                                                bool_reply(reply));
            return;
        case 2:
            helper.install_corvana_with_auth_data(data_arg(a[0]), text_arg(a[1]), text_arg(a[2]),
                                                  text_arg(a[3]), text_arg(a[4]),
                                                  bool_reply(reply));
            return;
        case 3:
            helper.uninstall_corvana_with_auth_data(data_arg(a[0]), text_arg(a[1]), text_arg(a[2]),
                                                    text_arg(a[3]), text_arg(a[4]),
                                                    bool_reply(reply));
            return;
        case 4:
            helper.fixOSMaxFilesIfNeedAndReply(bool_reply(reply));
            return;
        case 5:
            helper.restart_corvana_with_bundle_path(text_arg(a[0]), bool_reply(reply));
            return;
        case 6:
            helper.reboot_computer_with_reply(bool_reply(reply));
            return;
        case 7:
            helper.start_service_with_namespace(text_arg(a[0]), bool_reply(reply));
            return;
        case 8:
            helper.is_service_installed_with_namespace(text_arg(a[0]), bool_reply(reply));
            return;
        case 9:
            helper.is_service_disabled_with_namespace(text_arg(a[0]), bool_reply(reply));
            return;
        case 10:
            helper.is_service_run_at_load_with_namespace(text_arg(a[0]), bool_reply(reply));
            return;
        case 11:
            helper.set_tray_enabled(text_arg(a[0]), bool_arg(a[1]), text_arg(a[2]),
                                    bool_reply(reply));
            return;
        case 12:
            helper.quit_service(text_arg(a[0]), bool_reply(reply));
            return;
        case 13:
            helper.check_global_settings_auth(data_arg(a[0]), bool_reply(reply));
            return;
        case 14:
            helper.set_darkwake_mode(int_arg(a[0]), [reply](int value) {
                reply(wire_value{static_cast<std::int64_t>(value)});
            });
            return;
        case 15:
            helper.isAutostartEnabledForNamespace(text_arg(a[0]), bool_reply(reply));
            return;
        case 16:
            helper.setAutostartEnabled(bool_arg(a[0]), text_arg(a[1]), bool_reply(reply));
            return;
        default:
            reply(wire_value{false});
            return;
    }
}
