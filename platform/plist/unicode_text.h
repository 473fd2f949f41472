#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/plist/utf8.h"

// Text routines with the platform's Unicode character sets, over UTF-8 text.

// Splits at every newline character: U+000A to U+000D, U+0085, U+2028 and U+2029. Each one is a
// separator of its own, so "a\r\nb" gives "a", "" and "b", and a final line feed gives a last,
// empty piece. Text that is not valid UTF-8 gives no pieces.
[[nodiscard]] std::vector<std::string> split_at_newlines(std::string_view text);

// Splits at every whitespace character: tab and the space separators (category Zs). A run of
// blanks gives empty fields in between, and a leading blank an empty first field. Text that is
// not valid UTF-8 gives no fields.
[[nodiscard]] std::vector<std::string> split_at_whitespace(std::string_view text);

// The pieces joined with separator between each two.
[[nodiscard]] std::string join(const std::vector<std::string>& pieces, std::string_view separator);
