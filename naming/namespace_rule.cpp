// The rule every namespace must pass before it becomes part of a label or a path.
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>

#include "naming/paths.h"

namespace naming {

namespace {

// Compiled once: a pattern is immutable and may serve matchers on many threads at once.
const icu::RegexPattern* namespace_rule() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError where{};
        std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8("^[a-zA-Z0-9_]*$"), 0, where, status));
        return U_SUCCESS(status) ? std::move(compiled) : nullptr;
    }();
    return pattern.get();
}

}  // namespace

bool is_valid_namespace(std::string_view cv_namespace) {
    const icu::RegexPattern* rule = namespace_rule();
    if (rule == nullptr) {
        return false;
    }
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(cv_namespace.data(), static_cast<int32_t>(cv_namespace.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(rule->matcher(text, status));
    if (U_FAILURE(status) || !matcher) {
        return false;
    }
    // The whole text must match, as a "SELF MATCHES" predicate asks.
    const bool whole = matcher->matches(status);
    return U_SUCCESS(status) && whole;
}

}  // namespace naming
