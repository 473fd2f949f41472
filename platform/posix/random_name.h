#pragma once

#include <cstddef>
#include <optional>
#include <string>

// prefix followed by bytes random bytes from the kernel in lower-case hex (nothing when the
// kernel has none to give): a name no other party can guess or make collide with ours.
std::optional<std::string> random_name(const std::string& prefix, std::size_t bytes);
