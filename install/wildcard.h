#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "naming/regular_expression.h"

// Shell-like wildcards over relative paths: "*" any run of characters ("/" included), "?" one
// character, "." a literal dot, letter case ignored, the whole path covered. Every other
// character is handed to the regular-expression engine as it is.

// The expression a wildcard stands for: dots escaped, then "*" -> ".*", then "?" -> ".", anchored.
std::string wildcard_to_regex(std::string_view wildcard);

class wildcard_matcher_t {
  public:
    // Nothing when the expression doesn't compile.
    static std::optional<wildcard_matcher_t> compile(std::string_view wildcard);

    // A match that runs past the engine's step limit counts as no match.
    [[nodiscard]] bool matches(std::string_view relative_path) const;

  private:
    explicit wildcard_matcher_t(regular_expression_t expression)
        : expression_(std::move(expression)) {}
    regular_expression_t expression_;
};
