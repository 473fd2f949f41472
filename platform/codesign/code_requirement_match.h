#pragma once

#include <optional>
#include <string_view>

#include "platform/codesign/code_requirement_syntax.h"

namespace code_requirement {

// Orders two texts as the platform's numeric string comparison does: runs of digits compare as
// numbers ("6.10.0" is above "6.9.0", "06" equals "6"), everything else byte by byte, and a text
// that is a prefix of the other comes first. Negative, zero or positive.
[[nodiscard]] int compare_numerically(std::string_view a, std::string_view b);

// Whether a value satisfies a match. A missing value satisfies nothing, "exists" included.
[[nodiscard]] bool matches(const match_t& match, std::optional<std::string_view> value);

}  // namespace code_requirement
