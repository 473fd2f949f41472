#pragma once

#include <string_view>

// The value that sysctl's report of a "debug.darkwake" change shows before the arrow, as in
// "debug.darkwake: 0 -> 1". The failure value stands for a report that holds no such value.
inline constexpr int k_darkwake_failure = -1;

[[nodiscard]] int darkwake_value_from_report(std::string_view report);

// The leading decimal number of a text the way the platform's intValue reads it: leading
// white space skipped, an optional sign, then digits; no digits give 0, and a number beyond the
// range of int gives the nearest end of that range.
[[nodiscard]] int leading_int_value(std::string_view text);
