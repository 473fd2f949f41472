#include "naming/regular_expression.h"

#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <string>

namespace {

icu::UnicodeString from_utf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

}  // namespace

result<regular_expression_t> regular_expression_t::compile(std::string_view expression,
                                                           std::uint32_t flags) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(from_utf8(expression), flags, where, status));
    if (U_FAILURE(status) || !pattern) {
        return result<>::failure(std::string("the expression does not compile (") +
                                 u_errorName(status) + " at offset " +
                                 std::to_string(where.offset) + ")");
    }
    return regular_expression_t(std::move(pattern));
}

result<bool> regular_expression_t::matches(std::string_view text, extent_t extent,
                                           std::int32_t step_limit) const {
    // The matcher keeps a reference to its input, which must outlive it.
    const icu::UnicodeString input = from_utf8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        return result<>::failure(std::string("no matcher: ") + u_errorName(status));
    }
    if (step_limit > 0) {
        matcher->setTimeLimit(step_limit, status);
    }
    const bool found =
        extent == extent_t::whole_text ? matcher->matches(status) : matcher->find(status);
    if (U_FAILURE(status)) {
        return result<>::failure(std::string("the match did not finish: ") + u_errorName(status));
    }
    return found;
}
