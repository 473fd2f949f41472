#pragma once

#include <sys/resource.h>

class helper_tool_t;

// The part of the open-files check that follows reading the limits: logs them and, when launchd's
// limit looks lowered, raises it. The caller reads the limits; kept apart because some limits
// (an unlimited hard limit for open files) can't be set up on every platform to test with.
void check_open_files_limits(helper_tool_t& tool, const struct rlimit& limits);
