#include "core/protocol.h"

#include "core/helper_tool.h"

namespace {

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

using reply_fn = std::function<void(wire_value)>;
using handler_t = void (*)(helper_tool_t&, std::vector<wire_value>&, reply_fn);

// Each method of the protocol beside the handler its calls go to.
struct handler_entry {
    protocol::method method;
    handler_t handle;
};

using m = protocol::method;

constexpr handler_entry k_handlers[] = {
    {m::get_version,
     [](helper_tool_t& h, std::vector<wire_value>&, reply_fn reply) {
         h.get_version_with_reply([reply](ns_string version) {
             reply(version ? wire_value{*version} : wire_value{wire_nil{}});
         });
     }},
    {m::install_service,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.install_corvana_service_with(data_arg(a[0]), text_arg(a[1]), text_arg(a[2]),
                                        bool_reply(reply));
     }},
    {m::install,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.install_corvana_with_auth_data(data_arg(a[0]), text_arg(a[1]), text_arg(a[2]),
                                          text_arg(a[3]), text_arg(a[4]), bool_reply(reply));
     }},
    {m::uninstall,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.uninstall_corvana_with_auth_data(data_arg(a[0]), text_arg(a[1]), text_arg(a[2]),
                                            text_arg(a[3]), text_arg(a[4]), bool_reply(reply));
     }},
    {m::fix_max_files, [](helper_tool_t& h, std::vector<wire_value>&,
                          reply_fn reply) { h.fixOSMaxFilesIfNeedAndReply(bool_reply(reply)); }},
    {m::restart,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.restart_corvana_with_bundle_path(text_arg(a[0]), bool_reply(reply));
     }},
    {m::reboot, [](helper_tool_t& h, std::vector<wire_value>&,
                   reply_fn reply) { h.reboot_computer_with_reply(bool_reply(reply)); }},
    {m::start_service,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.start_service_with_namespace(text_arg(a[0]), bool_reply(reply));
     }},
    {m::is_service_installed,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.is_service_installed_with_namespace(text_arg(a[0]), bool_reply(reply));
     }},
    {m::is_service_disabled,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.is_service_disabled_with_namespace(text_arg(a[0]), bool_reply(reply));
     }},
    {m::is_service_run_at_load,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.is_service_run_at_load_with_namespace(text_arg(a[0]), bool_reply(reply));
     }},
    {m::set_tray_enabled,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.set_tray_enabled(text_arg(a[0]), bool_arg(a[1]), text_arg(a[2]), bool_reply(reply));
     }},
    {m::quit_service, [](helper_tool_t& h, std::vector<wire_value>& a,
                         reply_fn reply) { h.quit_service(text_arg(a[0]), bool_reply(reply)); }},
    {m::check_global_settings_auth,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.check_global_settings_auth(data_arg(a[0]), bool_reply(reply));
     }},
    {m::set_darkwake_mode,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.set_darkwake_mode(int_arg(a[0]), [reply](int value) {
             reply(wire_value{static_cast<std::int64_t>(value)});
         });
     }},
    {m::is_autostart_enabled,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.isAutostartEnabledForNamespace(text_arg(a[0]), bool_reply(reply));
     }},
    {m::set_autostart_enabled,
     [](helper_tool_t& h, std::vector<wire_value>& a, reply_fn reply) {
         h.setAutostartEnabled(bool_arg(a[0]), text_arg(a[1]), bool_reply(reply));
     }},
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
