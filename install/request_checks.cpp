#include "install/request_checks.h"

namespace install_request {

const char* shown(const ns_string& text) {
    return text ? text->c_str() : "(null)";
}

bool accepted(helper_tool_t& tool, const ns_data& auth, const char* selector,
              const ns_string& cv_namespace, const char* denied_line, const reply_t<bool>& reply) {
    if (tool.check_authorization(auth, selector)) {
        trace_error(tool.trace(), "%s", denied_line);
        reply(false);
        return false;
    }
    if (!tool._validateCVNamespace(cv_namespace)) {
        trace_error(tool.trace(), "Invalid arguments");
        reply(false);
        return false;
    }
    return true;
}

}  // namespace install_request
