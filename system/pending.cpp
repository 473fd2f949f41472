// Operations of this folder that are not built yet: they answer NO (or -1) with an error line.
#include "core/helper_tool.h"

namespace {
void unavailable(trace_t* trace, const char* selector) {
    trace_error(trace, "operation not available: %s", selector);
}
}  // namespace

void helper_tool_t::fixOSMaxFilesIfNeedAndReply(reply_t<bool> reply) {
    unavailable(_trace.get(), "fixOSMaxFilesIfNeedAndReply:");
    if (reply) reply(false);
}
void helper_tool_t::reboot_computer_with_reply(reply_t<bool> reply) {
    unavailable(_trace.get(), "reboot_computer_with_reply:");
    reply(false);
}
void helper_tool_t::start_service_with_namespace(ns_string, reply_t<bool> with_reply) {
    unavailable(_trace.get(), "start_service_with_namespace:with_reply:");
    with_reply(false);
}
void helper_tool_t::is_service_installed_with_namespace(ns_string, reply_t<bool> with_reply) {
    unavailable(_trace.get(), "is_service_installed_with_namespace:with_reply:");
    with_reply(false);
}
void helper_tool_t::is_service_disabled_with_namespace(ns_string, reply_t<bool> with_reply) {
    unavailable(_trace.get(), "is_service_disabled_with_namespace:with_reply:");
    with_reply(false);
}
void helper_tool_t::is_service_run_at_load_with_namespace(ns_string, reply_t<bool> with_reply) {
    unavailable(_trace.get(), "is_service_run_at_load_with_namespace:with_reply:");
    with_reply(false);
}
void helper_tool_t::quit_service(ns_string, reply_t<bool> with_reply) {
    unavailable(_trace.get(), "quit_service:with_reply:");
    with_reply(false);
}
void helper_tool_t::set_darkwake_mode(int, reply_t<int> reply) {
    unavailable(_trace.get(), "set_darkwake_mode:reply:");
    reply(-1);
}
void helper_tool_t::isAutostartEnabledForNamespace(ns_string, reply_t<bool> reply) {
    unavailable(_trace.get(), "isAutostartEnabledForNamespace:reply:");
    reply(false);
}
void helper_tool_t::setAutostartEnabled(bool, ns_string, reply_t<bool> reply) {
    unavailable(_trace.get(), "setAutostartEnabled:forNamespace:reply:");
    reply(false);
}
int helper_tool_t::_hackOSMaxFiles() { return -1; }
