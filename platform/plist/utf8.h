#pragma once

#include <string_view>

// True when bytes are well-formed UTF-8 (no stray continuation bytes, overlong forms, surrogates
// or code points above U+10FFFF). The empty text is valid; a NUL byte is a valid character.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);
