#pragma once

#include <unicode/regex.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/posix/result.h"

// A regular expression of the platform's engine (ICU's, as NSRegularExpression and NSPredicate
// use), over UTF-8 texts. Immutable once compiled, so one may serve many threads at once.
class regular_expression_t {
  public:
    // A failure, naming the engine's error and where it found it, when the expression doesn't
    // compile.
    static result<regular_expression_t> compile(std::string_view expression,
                                                std::uint32_t flags = 0);

    enum class extent_t { whole_text, anywhere };
    // A step limit (the engine's own unit, roughly milliseconds; 0 for none) bounds a
    // pathological expression: a match that runs past it fails, as does one the engine can't
    // run; a caller to whom that is no match says so with value_or(false).
    result<bool> matches(std::string_view text, extent_t extent, std::int32_t step_limit = 0) const;

  private:
    explicit regular_expression_t(std::unique_ptr<icu::RegexPattern> pattern)
        : pattern_(std::move(pattern)) {}
    std::unique_ptr<icu::RegexPattern> pattern_;
};
