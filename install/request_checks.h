#pragma once

#include "helper/helper_tool.h"
#include "protocol/types.h"

// The checks every install request makes before it touches anything.
namespace install_request {

// An argument as the trace lines show it: "(null)" when the caller left it out.
const char* shown(const ns_string& text);

// The caller's authorization for `selector` first, then the namespace argument. When either
// fails, logs `denied_line` or "Invalid arguments", answers NO and returns false.
[[nodiscard]] bool accepted(helper_tool_t& tool, const ns_data& auth, const char* selector,
                            const ns_string& cv_namespace, const char* denied_line,
                            const reply_t<bool>& reply);

}  // namespace install_request
