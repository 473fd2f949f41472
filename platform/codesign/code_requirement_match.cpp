#include "platform/codesign/code_requirement_match.h"

namespace code_requirement {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view digit_run(std::string_view text, std::size_t& pos) {
    std::size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) {
        ++pos;
    }
    std::string_view run = text.substr(start, pos - start);
    // Leading zeros carry no value; comparing the rest by length, then by digits, orders runs of
    // any length without converting them to a bounded integer.
    std::size_t first = run.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : run.substr(first);
}

}  // namespace

int compare_numerically(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::string_view left = digit_run(a, i);
            std::string_view right = digit_run(b, j);
            if (left.size() != right.size()) {
                return left.size() < right.size() ? -1 : 1;
            }
            if (int order = left.compare(right); order != 0) {
                return order < 0 ? -1 : 1;
            }
            continue;
        }
        auto left = static_cast<unsigned char>(a[i]);
        auto right = static_cast<unsigned char>(b[j]);
        if (left != right) {
            return left < right ? -1 : 1;
        }
        ++i;
        ++j;
    }
    bool a_left = i < a.size();
    bool b_left = j < b.size();
    return a_left == b_left ? 0 : (a_left ? 1 : -1);
}

bool matches(const match_t& match, std::optional<std::string_view> value) {
    if (!value) {
        return false;
    }
    std::string_view text = *value;
    std::string_view wanted = match.value;
    switch (match.op) {
        case match_op::exists:
            return true;
        case match_op::equal:
            if (match.leading_wildcard && match.trailing_wildcard) {
                return text.find(wanted) != std::string_view::npos;
            }
            if (match.leading_wildcard) {
                return text.ends_with(wanted);
            }
            if (match.trailing_wildcard) {
                return text.starts_with(wanted);
            }
            return text == wanted;
        case match_op::less:
            return compare_numerically(text, wanted) < 0;
        case match_op::less_equal:
            return compare_numerically(text, wanted) <= 0;
        case match_op::greater:
            return compare_numerically(text, wanted) > 0;
        case match_op::greater_equal:
            return compare_numerically(text, wanted) >= 0;
    }
    return false;
}

}  // namespace code_requirement
