#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <span>
#include <string_view>
#include <type_traits>

#include "platform/ipc/xpc_message.h"
#include "protocol/types.h"

// The remote protocol CorvanaHelperXPC, written once: each method's selector text (its name on
// the wire and its key in the rights table), the kinds of its arguments before the reply block,
// the kind its reply block takes, and, for a guarded method, the authorization right it needs,
// in declaration order. The daemon's dispatch, the rights table, the client library,
// corvana-helperctl and the tests read it from here, and check what they spell against it.
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

// The right of the authorization database that a guarded method checks; all empty for the
// others, which admission alone gates.
struct right_info {
    std::string_view name;
    std::string_view rule;
    std::string_view description;
};

inline constexpr std::size_t k_max_arguments = 5;

struct method_info {
    method id;
    std::string_view selector;
    std::array<wire_kind, k_max_arguments> argument_kinds;
    std::size_t argument_count;
    wire_kind reply;
    right_info right;

    constexpr std::span<const wire_kind> arguments() const {
        return {argument_kinds.data(), argument_count};
    }
    constexpr bool guarded() const { return !right.name.empty(); }
};

namespace detail {

using k = wire_kind;
using enum method;

template <class... Kinds>
constexpr method_info describe(method id, std::string_view selector, wire_kind reply,
                               Kinds... arguments) {
    static_assert(sizeof...(arguments) <= k_max_arguments);
    return {id, selector, {arguments...}, sizeof...(arguments), reply, {}};
}

constexpr method_info guarded(right_info right, method_info described) {
    described.right = right;
    return described;
}

}  // namespace detail

inline constexpr auto methods = std::to_array<method_info>({
    detail::describe(detail::get_version, "get_version_with_reply:", detail::k::text),
    detail::guarded(
        {"com.quillmark.Corvana.Helper.install_service", "is-admin",
         "Corvana is trying to install global service"},
        detail::describe(detail::install_service,
                         "install_corvana_service_with:for_namespace:user_config:reply:",
                         detail::k::boolean, detail::k::data, detail::k::text, detail::k::text)),
    detail::guarded({"com.quillmark.Corvana.Helper.install_corvana", "is-admin",
                     "Corvana is trying to install itself"},
                    detail::describe(detail::install,
                                     "install_corvana_with_auth_data:with_bundle_path:"
                                     "with_sysconfig_path:with_cv_namespace:with_user_name:"
                                     "with_reply:",
                                     detail::k::boolean, detail::k::data, detail::k::text,
                                     detail::k::text, detail::k::text, detail::k::text)),
    detail::guarded({"com.quillmark.Corvana.Helper.uninstall_corvana", "authenticate-admin",
                     "Corvana is trying to uninstall itself"},
                    detail::describe(detail::uninstall,
                                     "uninstall_corvana_with_auth_data:with_bundle_path:"
                                     "with_sysconfig_path:with_cv_namespace:with_user_name:"
                                     "with_reply:",
                                     detail::k::boolean, detail::k::data, detail::k::text,
                                     detail::k::text, detail::k::text, detail::k::text)),
    detail::describe(detail::fix_max_files, "fixOSMaxFilesIfNeedAndReply:", detail::k::boolean),
    detail::describe(detail::restart, "restart_corvana_with_bundle_path:and_reply:",
                     detail::k::boolean, detail::k::text),
    detail::describe(detail::reboot, "reboot_computer_with_reply:", detail::k::boolean),
    detail::describe(detail::start_service, "start_service_with_namespace:with_reply:",
                     detail::k::boolean, detail::k::text),
    detail::describe(detail::is_service_installed,
                     "is_service_installed_with_namespace:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe(detail::is_service_disabled, "is_service_disabled_with_namespace:with_reply:",
                     detail::k::boolean, detail::k::text),
    detail::describe(detail::is_service_run_at_load,
                     "is_service_run_at_load_with_namespace:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::describe(detail::set_tray_enabled,
                     "set_tray_enabled:with_enabled:with_bundle_path:with_reply:",
                     detail::k::boolean, detail::k::text, detail::k::boolean, detail::k::text),
    detail::describe(detail::quit_service, "quit_service:with_reply:", detail::k::boolean,
                     detail::k::text),
    detail::guarded(
        {"com.quillmark.Corvana.Helper.global_settings", "authenticate-admin",
         "Corvana is trying to unlock the global settings"},
        detail::describe(detail::check_global_settings_auth,
                         "check_global_settings_auth:reply:", detail::k::boolean, detail::k::data)),
    detail::describe(detail::set_darkwake_mode, "set_darkwake_mode:reply:", detail::k::integer,
                     detail::k::integer),
    detail::describe(detail::is_autostart_enabled,
                     "isAutostartEnabledForNamespace:reply:", detail::k::boolean, detail::k::text),
    detail::describe(detail::set_autostart_enabled, "setAutostartEnabled:forNamespace:reply:",
                     detail::k::boolean, detail::k::boolean, detail::k::text),
});

constexpr const method_info& info(method m) {
    return methods[static_cast<std::size_t>(m)];
}

// The selector text, NUL-terminated (it is a literal), for callers that want a C text.
constexpr std::string_view selector(method m) {
    return info(m).selector;
}

constexpr std::string_view right_name(method m) {
    return info(m).right.name;
}

namespace detail {

constexpr bool well_formed() {
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const method_info& m = methods[i];
        // info() indexes by the enumerator.
        if (static_cast<std::size_t>(m.id) != i) {
            return false;
        }
        // The selector has one keyword per argument and one for the reply block.
        if (static_cast<std::size_t>(std::ranges::count(m.selector, ':')) != m.argument_count + 1) {
            return false;
        }
        // The authorization check reads the first argument.
        if (m.guarded() && (m.argument_count == 0 || m.argument_kinds[0] != wire_kind::data ||
                            m.right.rule.empty() || m.right.description.empty())) {
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (methods[j].selector == m.selector ||
                (m.guarded() && methods[j].right.name == m.right.name)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(well_formed(),
              "each method in its enumerator's place, its selector and right unique, "
              "a guarded method's authorization first");

}  // namespace detail

// The C++ type each kind travels in, on both sides: a handler's parameters and its reply block's
// value, the client's arguments and its typed reply.
template <class T>
struct kind_of;  // no kind: not a type the protocol carries
template <>
struct kind_of<ns_data> : std::integral_constant<wire_kind, wire_kind::data> {};
template <>
struct kind_of<ns_string> : std::integral_constant<wire_kind, wire_kind::text> {};
template <>
struct kind_of<bool> : std::integral_constant<wire_kind, wire_kind::boolean> {};
template <>
struct kind_of<int> : std::integral_constant<wire_kind, wire_kind::integer> {};

template <class T>
concept carried = requires {
    kind_of<std::remove_cvref_t<T>>::value;
};

template <wire_kind K>
using type_of =
    std::conditional_t<K == wire_kind::data, ns_data,
                       std::conditional_t<K == wire_kind::text, ns_string,
                                          std::conditional_t<K == wire_kind::boolean, bool, int>>>;

// The value the reply block of m takes.
template <method M>
using reply_type = type_of<info(M).reply>;

// Whether these C++ types are, one for one, the kinds of m's arguments.
template <method M, class... Args>
constexpr bool takes() {
    if constexpr ((carried<Args> && ...)) {
        constexpr auto kinds = info(M).arguments();
        constexpr std::array<wire_kind, sizeof...(Args)> given{
            kind_of<std::remove_cvref_t<Args>>::value...};
        return kinds.size() == given.size() && std::ranges::equal(kinds, given);
    } else {
        return false;
    }
}

}  // namespace protocol
