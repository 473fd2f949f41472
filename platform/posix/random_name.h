#pragma once

#include <cstddef>
#include <string>

#include "platform/posix/result.h"

// prefix followed by bytes random bytes from the kernel in lower-case hex (a failure when the
// kernel has none to give): a name no other party can guess or make collide with ours.
result<std::string> random_name(const std::string& prefix, std::size_t bytes);
