// Operations of this folder that are not built yet: they answer NO with an error line.
#include "core/helper_tool.h"

std::optional<ns_error> helper_tool_t::check_authorization(const ns_data&, const char*) {
    return ns_error{"NSOSStatusErrorDomain", -60008};
}
void helper_tool_t::_resetAuthDB() {}
void helper_tool_t::check_global_settings_auth(ns_data, reply_t<bool> reply) {
    trace_error(_trace.get(), "operation not available: %s", "check_global_settings_auth:reply:");
    reply(false);
}
