#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "platform/ipc/xpc_message.h"

// The remote protocol CorvanaHelperXPC, written once: each method's selector text (its name on
// the wire and its key in the rights table), the kinds of its arguments before the reply block
// and the kind its reply block takes, in declaration order. The daemon's dispatch, the client
// library, the rights table and the tests read it from here.
namespace protocol {

enum class method : std::size_t {
    get_version,
    install_service,
    install,
    uninstall,
    fix_max_files,
    restart,
    reboot,
    start_service,
    is_service_installed,
    is_service_disabled,
    is_service_run_at_load,
    set_tray_enabled,
    quit_service,
    check_global_settings_auth,
    set_darkwake_mode,
    is_autostart_enabled,
    set_autostart_enabled,
};

struct method_info {
    std::string_view selector;
    std::array<wire_kind, 5> argument_kinds;
    std::size_t argument_count;
    wire_kind reply;

    constexpr std::span<const wire_kind> arguments() const {
        return {argument_kinds.data(), argument_count};
    }
};

namespace detail {

template <class... Kinds>
constexpr method_info describe(std::string_view selector, wire_kind reply, Kinds... arguments) {
    return {selector, {arguments...}, sizeof...(arguments), reply};
}

using k = wire_kind;

}  // namespace detail

inline constexpr std::array<method_info, 17> methods = {
    detail::describe("get_version_with_reply:", detail::k::text),
    detail::describe("install_corvana_service_with:for_namespace:user_config:reply:",
                     detail::k::boolean, detail::k::data, detail::k::text, detail::k::text),
    detail::describe("install_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:"
                     "with_cv_namespace:with_user_name:with_reply:",
                     detail::k::boolean, detail::k::data, detail::k::text, detail::k::text,
                     detail::k::text, detail::k::text),
    detail::describe("uninstall_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:"
                     "with_cv_namespace:with_user_name:with_reply:",
                     detail::k::boolean, detail::k::data, detail::k::text, detail::k::text,
                     detail::k::text, detail::k::text),
    detail::describe("fixOSMaxFilesIfNeedAndReply:", detail::k::boolean),
    detail::describe("restart_corvana_with_bundle_path:and_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe("reboot_computer_with_reply:", detail::k::boolean),
    detail::describe("start_service_with_namespace:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe("is_service_installed_with_namespace:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe("is_service_disabled_with_namespace:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe("is_service_run_at_load_with_namespace:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe("set_tray_enabled:with_enabled:with_bundle_path:with_reply:",
                     detail::k::boolean, detail::k::text, detail::k::boolean, detail::k::text),
    detail::describe("quit_service:with_reply:", detail::k::boolean, detail::k::text),
    detail::describe("check_global_settings_auth:reply:", detail::k::boolean, detail::k::data),
    detail::describe("set_darkwake_mode:reply:", detail::k::integer, detail::k::integer),
    detail::describe("isAutostartEnabledForNamespace:reply:", detail::k::boolean, detail::k::text),
    detail::describe("setAutostartEnabled:forNamespace:reply:", detail::k::boolean,
                     detail::k::boolean, detail::k::text),
};

constexpr const method_info& info(method m) {
    return methods[static_cast<std::size_t>(m)];
}

// The selector text, NUL-terminated (it is a literal), for callers that want a C text.
constexpr std::string_view selector(method m) {
    return info(m).selector;
}

}  // namespace protocol
