#include "install/wildcard.h"

#include <unicode/unistr.h>

namespace {

// The engine's own unit of work (roughly milliseconds); patterns are short and paths are short,
// so anything near this is a pathological expression.
constexpr int32_t match_step_limit = 200;

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
    const std::string expression = wildcard_to_regex(wildcard);
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(expression), UREGEX_CASE_INSENSITIVE, where, status));
    if (U_FAILURE(status) || !pattern) {
        return std::nullopt;
    }
    return wildcard_matcher_t(std::move(pattern));
}

wildcard_matcher_t::wildcard_matcher_t(std::unique_ptr<icu::RegexPattern> pattern)
    : pattern_(std::move(pattern)) {}
wildcard_matcher_t::wildcard_matcher_t(wildcard_matcher_t&&) noexcept = default;
wildcard_matcher_t& wildcard_matcher_t::operator=(wildcard_matcher_t&&) noexcept = default;
wildcard_matcher_t::~wildcard_matcher_t() = default;

bool wildcard_matcher_t::matches(std::string_view relative_path) const {
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(
        icu::StringPiece(relative_path.data(), static_cast<int32_t>(relative_path.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        return false;
    }
    matcher->setTimeLimit(match_step_limit, status);
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}
