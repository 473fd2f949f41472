#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvana {

// What the helper's calls carry. An object argument may be nil, so texts and data are optional;
// BOOL and int are plain values.
using ns_string = std::optional<std::string>;
using ns_data = std::optional<std::vector<std::uint8_t>>;

}  // namespace corvana
