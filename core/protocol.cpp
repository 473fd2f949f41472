#include "core/protocol.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "helper/helper_tool.h"
#include "platform/journal/journal.h"

namespace {

using reply_fn = std::function<void(wire_value)>;

// A decoded argument, already checked against its kind, in the type the handler takes.
template <class T>
T from_wire(wire_value& value) {
    if constexpr (std::is_same_v<T, ns_string>) {
        if (auto* text = std::get_if<std::string>(&value)) {
            return std::move(*text);
        }
        return std::nullopt;
    } else if constexpr (std::is_same_v<T, ns_data>) {
        if (auto* bytes = std::get_if<wire_bytes>(&value)) {
            return std::move(*bytes);
        }
        return std::nullopt;
    } else if constexpr (std::is_same_v<T, bool>) {
        return std::get<bool>(value);
    } else {
        static_assert(std::is_same_v<T, int>);
        // The protocol's int is 32 bits; wider values are cut as the platform's coder would.
        return static_cast<int>(std::get<std::int64_t>(value));
    }
}

template <class T>
wire_value to_wire(T value) {
    if constexpr (std::is_same_v<T, ns_string>) {
        return value ? wire_value{std::move(*value)} : wire_value{wire_nil{}};
    } else if constexpr (std::is_same_v<T, int>) {
        return wire_value{static_cast<std::int64_t>(value)};
    } else {
        static_assert(std::is_same_v<T, bool>);
        return wire_value{value};
    }
}

template <class Block>
struct reply_block;
template <class T>
struct reply_block<reply_t<T>> {
    using value = T;
};

// Calls the handler with the decoded arguments in the types its parameters have. It is built
// only when those types are, one for one, the kinds the protocol gives the method's arguments
// and its reply block takes the method's reply kind, so a handler and the table can't drift
// apart unnoticed.
template <protocol::method M, class... Params>
void call_handler(helper_tool_t& helper, void (helper_tool_t::*handler)(Params...),
                  std::vector<wire_value>& args, reply_fn reply) {
    using params = std::tuple<Params...>;
    constexpr std::size_t count = sizeof...(Params) - 1;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        using block = std::tuple_element_t<count, params>;
        using value = typename reply_block<block>::value;
        static_assert(protocol::takes<M, std::tuple_element_t<I, params>...>(),
                      "the handler's parameters are not the protocol's argument kinds");
        static_assert(std::is_same_v<value, protocol::reply_type<M>>,
                      "the handler's reply block does not take the protocol's reply kind");
        (helper.*handler)(
            from_wire<std::remove_cvref_t<std::tuple_element_t<I, params>>>(args[I])...,
            block([reply = std::move(reply)](value answer) {
                reply(to_wire<value>(std::move(answer)));
            }));
    }
    (std::make_index_sequence<count>{});
}

// What the journal records of a method that changes the system or asks for a right: its kind of
// entry, and which of its arguments name the namespace, the bundle and the setting it asks for.
// Methods that only ask about state are not recorded.
struct journal_row {
    bool recorded = false;
    journal_kind kind{};
    int namespace_arg = -1;
    int bundle_arg = -1;
    int value_arg = -1;
};

constexpr journal_row recorded(journal_kind kind, int namespace_arg = -1, int bundle_arg = -1,
                               int value_arg = -1) {
    return {true, kind, namespace_arg, bundle_arg, value_arg};
}

// A reply as the journal shows it: true/false, the integer, or the text.
std::string journal_text(const wire_value& value) {
    if (const auto* flag = std::get_if<bool>(&value)) {
        return *flag ? "true" : "false";
    }
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        return std::to_string(*number);
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return "nil";
}

std::optional<std::string> journal_argument(const std::vector<wire_value>& args, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= args.size() ||
        std::holds_alternative<wire_nil>(args[static_cast<std::size_t>(index)])) {
        return std::nullopt;
    }
    return journal_text(args[static_cast<std::size_t>(index)]);
}

// The reply block, made to record the call with its outcome in the journal first. The record is
// made here, around every handler, so that no way out of one goes unrecorded.
// A guarded method's entry names its right and what settled it (the authorization entry just
// before it, with the same client and operation, says it at the moment of the decision); a right
// never decided, the authorization data being unusable, shows as refused.
reply_fn journal_reply(const journal_row& row, const protocol::method_info& method,
                       const std::vector<wire_value>& args, reply_fn reply,
                       std::shared_ptr<const journal_call_decision_t> decision) {
    journal_event_t event{
        .kind = row.kind,
        .caller = journal_current_caller(),
        .operation = std::string(method.selector),
        .cv_namespace = journal_argument(args, row.namespace_arg),
        .bundle_path = journal_argument(args, row.bundle_arg),
        .value = journal_argument(args, row.value_arg),
        .right = method.guarded() ? std::optional<std::string>(method.right.name) : std::nullopt};
    return [event = std::move(event), reply = std::move(reply),
            decision = std::move(decision)](wire_value answer) mutable {
        event.outcome = journal_text(answer);
        if (event.right) {
            event.decided_by = decision->decided_by.value_or("refused");
        }
        journal_record(std::move(event));
        reply(std::move(answer));
    };
}

using handler_t = void (*)(helper_tool_t&, std::vector<wire_value>&, reply_fn);

// Each method of the protocol beside the handler its calls go to.
struct handler_entry {
    protocol::method method;
    handler_t handle;
};

// Whether the arguments a journal row names are there and of the kinds they are shown as: texts
// for the namespace and the bundle, a boolean or an integer for the setting.
template <protocol::method M>
constexpr bool journal_row_fits(const journal_row& row) {
    const auto names = [](int index, std::initializer_list<wire_kind> kinds) {
        const auto arguments = protocol::info(M).arguments();
        return index < 0 || (static_cast<std::size_t>(index) < arguments.size() &&
                             std::find(kinds.begin(), kinds.end(),
                                       arguments[static_cast<std::size_t>(index)]) != kinds.end());
    };
    return names(row.namespace_arg, {wire_kind::text}) &&
           names(row.bundle_arg, {wire_kind::text}) &&
           names(row.value_arg, {wire_kind::boolean, wire_kind::integer});
}

template <protocol::method M, auto Handler, journal_row Journal = journal_row{}>
constexpr handler_entry handler{
    M, [](helper_tool_t& helper, std::vector<wire_value>& args, reply_fn reply) {
        static_assert(journal_row_fits<M>(Journal), "the journal row names the wrong arguments");
        if constexpr (Journal.recorded) {
            auto decision = std::make_shared<journal_call_decision_t>();
            reply = journal_reply(Journal, protocol::info(M), args, std::move(reply), decision);
            journal_call_scope_t scope(std::move(decision));
            call_handler<M>(helper, Handler, args, std::move(reply));
        } else {
            call_handler<M>(helper, Handler, args, std::move(reply));
        }
    }};

using m = protocol::method;
using h = helper_tool_t;
using j = journal_kind;

constexpr handler_entry k_handlers[] = {
    handler<m::get_version, &h::get_version_with_reply>,
    handler<m::install_service, &h::install_corvana_service_with, recorded(j::install_service, 1)>,
    handler<m::install, &h::install_corvana_with_auth_data, recorded(j::install, 3, 1)>,
    handler<m::uninstall, &h::uninstall_corvana_with_auth_data, recorded(j::uninstall, 3, 1)>,
    handler<m::fix_max_files, &h::fixOSMaxFilesIfNeedAndReply, recorded(j::fix_max_files)>,
    handler<m::restart, &h::restart_corvana_with_bundle_path, recorded(j::restart, -1, 0)>,
    handler<m::reboot, &h::reboot_computer_with_reply, recorded(j::reboot)>,
    handler<m::start_service, &h::start_service_with_namespace, recorded(j::start_service, 0)>,
    handler<m::is_service_installed, &h::is_service_installed_with_namespace>,
    handler<m::is_service_disabled, &h::is_service_disabled_with_namespace>,
    handler<m::is_service_run_at_load, &h::is_service_run_at_load_with_namespace>,
    handler<m::set_tray_enabled, &h::set_tray_enabled>,
    handler<m::quit_service, &h::quit_service, recorded(j::quit_service, 0)>,
    handler<m::check_global_settings_auth, &h::check_global_settings_auth,
            recorded(j::check_global_settings)>,
    handler<m::set_darkwake_mode, &h::set_darkwake_mode, recorded(j::set_darkwake, -1, -1, 0)>,
    handler<m::is_autostart_enabled, &h::isAutostartEnabledForNamespace>,
    handler<m::set_autostart_enabled, &h::setAutostartEnabled,
            recorded(j::set_autostart, 1, -1, 0)>,
};

constexpr bool every_method_has_its_handler() {
    if (std::size(k_handlers) != protocol::methods.size()) {
        return false;
    }
    for (std::size_t i = 0; i < std::size(k_handlers); ++i) {
        if (static_cast<std::size_t>(k_handlers[i].method) != i) {
            return false;
        }
    }
    return true;
}
static_assert(every_method_has_its_handler(), "one handler per method, in the protocol's order");

constexpr std::array<method_signature_t, protocol::methods.size()> signatures = [] {
    std::array<method_signature_t, protocol::methods.size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = {protocol::methods[i].selector, protocol::methods[i].arguments(),
                  protocol::methods[i].reply};
    }
    return out;
}();

}  // namespace

const xpc_interface_t& corvana_helper_interface() {
    static const xpc_interface_t interface { signatures };
    return interface;
}

void invoke_helper_method(helper_tool_t& helper, std::size_t method, std::vector<wire_value> args,
                          std::function<void(wire_value)> reply) {
    if (method >= std::size(k_handlers)) {
        reply(wire_value{false});
        return;
    }
    k_handlers[method].handle(helper, args, std::move(reply));
}
