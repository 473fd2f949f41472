#include "platform/plist/unicode_text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace {

bool is_newline(UChar32 c) {
    return (c >= 0x000A && c <= 0x000D) || c == 0x0085 || c == 0x2028 || c == 0x2029;
}

bool is_whitespace(UChar32 c) {
    return c == 0x0009 || u_charType(c) == U_SPACE_SEPARATOR;
}

template <class Predicate>
std::vector<std::string> split(std::string_view text, Predicate is_separator) {
    std::vector<std::string> pieces;
    if (!is_valid_utf8(text)) {
        return pieces;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t piece_start = 0;
    int32_t at = 0;
    while (at < length) {
        const int32_t char_start = at;
        UChar32 c = 0;
        U8_NEXT(bytes, at, length, c);
        if (is_separator(c)) {
            pieces.emplace_back(text.substr(static_cast<std::size_t>(piece_start),
                                            static_cast<std::size_t>(char_start - piece_start)));
            piece_start = at;
        }
    }
    pieces.emplace_back(text.substr(static_cast<std::size_t>(piece_start)));
    return pieces;
}

}  // namespace

std::vector<std::string> split_at_newlines(std::string_view text) {
    return split(text, is_newline);
}

std::vector<std::string> split_at_whitespace(std::string_view text) {
    return split(text, is_whitespace);
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            joined += separator;
        }
        joined += pieces[i];
    }
    return joined;
}
