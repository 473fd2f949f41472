// Operations of this folder that are not built yet: they answer NO with an error line.
#include "core/helper_tool.h"

void helper_tool_t::install_corvana_service_with(ns_data, ns_string, ns_string, reply_t<bool> reply) {
    trace_error(_trace.get(), "operation not available: %s",
                "install_corvana_service_with:for_namespace:user_config:reply:");
    reply(false);
}
void helper_tool_t::install_corvana_with_auth_data(ns_data, ns_string, ns_string, ns_string,
                                                   ns_string, reply_t<bool> with_reply) {
    trace_error(_trace.get(), "operation not available: %s",
                "install_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:"
                "with_cv_namespace:with_user_name:with_reply:");
    with_reply(false);
}
void helper_tool_t::uninstall_corvana_with_auth_data(ns_data, ns_string, ns_string, ns_string,
                                                     ns_string, reply_t<bool> with_reply) {
    trace_error(_trace.get(), "operation not available: %s",
                "uninstall_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:"
                "with_cv_namespace:with_user_name:with_reply:");
    with_reply(false);
}
bool helper_tool_t::_validateCVNamespace(const ns_string&) { return false; }
std::vector<std::string> helper_tool_t::resolveFilesInDirectory(const std::string&, const std::string&) {
    return {};
}
bool helper_tool_t::_verifyDir(const std::string&, const std::vector<std::string>&) { return false; }
void helper_tool_t::_createPlist(const std::string&, const plist_dict_t&) {}
void helper_tool_t::_createGlobalTraceIfNeedFor(const std::string&) {}
void helper_tool_t::_copyGlobalConfigFrom(const std::string&, const std::string&) {}
void helper_tool_t::cleanSharedMemory(string_t) {}
