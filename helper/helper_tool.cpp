#include "helper/helper_tool.h"

#include <cstdlib>

#include "helper/main_bundle.h"
#include "platform/ipc/xpc_listener.h"
#include "protocol/protocol_methods.h"

helper_tool_t::helper_tool_t()
    : _trace(std::make_unique<trace_t>(trace_t{const_cast<char*>("helper_tool"), nullptr, true})),
      _clientRequirement(authorized_client_requirement()) {}

std::unique_ptr<helper_tool_t> helper_tool_t::init_without_listener() {
    return std::unique_ptr<helper_tool_t>(new helper_tool_t());
}

helper_tool_t::~helper_tool_t() {
    // Connection threads call back into this object: stop them before anything goes away.
    if (_listener) {
        _listener->invalidate();
    }
    if (_trace && _trace->name != nullptr && _trace->name_source != nullptr) {
        free(_trace->name);
    }
}

void helper_tool_t::get_version_with_reply(reply_t<ns_string> reply) {
    reply(main_bundle().string_for_key(k_info_version_key));
}

void helper_tool_t::set_tray_enabled(ns_string, bool, ns_string, reply_t<bool> with_reply) {
    with_reply(true);
}

void helper_tool_t::restart_corvana_with_bundle_path(ns_string, reply_t<bool> and_reply) {
    // The protocol declares it, but the helper never restarts the application itself.
    trace_warning(_trace.get(), "%s is not implemented",
                  protocol::selector(protocol::method::restart).data());
    and_reply(false);
}
