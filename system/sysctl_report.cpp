#include "system/sysctl_report.h"

#include <charconv>
#include <climits>
#include <cstdint>

namespace {

constexpr std::string_view k_marker = "debug.darkwake:";
constexpr std::string_view k_arrow = "->";
constexpr std::string_view k_white_space = " \t\n\v\f\r";

}  // namespace

int leading_int_value(std::string_view text) {
    const auto start = text.find_first_not_of(k_white_space);
    if (start == std::string_view::npos) {
        return 0;
    }
    text.remove_prefix(start);
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (end == text.data()) {
        return 0;
    }
    // A value that sysctl can't have printed is clamped rather than wrapped into a plausible one.
    constexpr std::uint64_t k_int_max = INT_MAX;
    if (negative) {
        if (error == std::errc::result_out_of_range || magnitude > k_int_max + 1) {
            return INT_MIN;
        }
        return static_cast<int>(-static_cast<std::int64_t>(magnitude));
    }
    if (error == std::errc::result_out_of_range || magnitude > k_int_max) {
        return INT_MAX;
    }
    return static_cast<int>(magnitude);
}

int darkwake_value_from_report(std::string_view report) {
    const auto marker = report.find(k_marker);
    if (marker == std::string_view::npos) {
        return k_darkwake_failure;
    }
    const std::string_view rest = report.substr(marker + k_marker.size());
    // The rest must split into exactly two pieces at the arrows: the value before and the value
    // after. A report with no arrow or with more than one is not a change report.
    const auto arrow = rest.find(k_arrow);
    if (arrow == std::string_view::npos ||
        rest.find(k_arrow, arrow + k_arrow.size()) != std::string_view::npos) {
        return k_darkwake_failure;
    }
    return leading_int_value(rest.substr(0, arrow));
}
