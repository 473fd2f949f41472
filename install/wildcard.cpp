#include "install/wildcard.h"

namespace {

// The engine's own unit of work (roughly milliseconds); patterns are short and paths are short,
// so anything near this is a pathological expression.
constexpr int32_t k_match_step_limit = 200;

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

std::string wildcard_to_regex(std::string_view wildcard) {
    std::string expression(wildcard);
    // The order matters: the dots the later replacements bring in must stay wildcards.
    replace_all(expression, ".", "\\.");
    replace_all(expression, "*", ".*");
    replace_all(expression, "?", ".");
    return "^" + expression + "$";
}

std::optional<wildcard_matcher_t> wildcard_matcher_t::compile(std::string_view wildcard) {
    auto expression =
        regular_expression_t::compile(wildcard_to_regex(wildcard), UREGEX_CASE_INSENSITIVE);
    if (!expression) {
        return std::nullopt;
    }
    return wildcard_matcher_t(std::move(*expression));
}

bool wildcard_matcher_t::matches(std::string_view relative_path) const {
    return expression_
        .matches(relative_path, regular_expression_t::extent_t::anywhere, k_match_step_limit)
        .value_or(false);
}
