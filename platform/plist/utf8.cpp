#include "platform/plist/utf8.h"

// ICU's UTF-8 macros are header-only: the message format, and the client library that carries
// it, validate text without loading ICU's shared library.
#include <unicode/utf8.h>

#include <climits>
#include <cstdint>

bool is_valid_utf8(std::string_view bytes) {
    // ICU indexes with int32_t; no message or tool output comes near 2 GiB.
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
        return false;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int32_t>(bytes.size());
    std::int32_t at = 0;
    while (at < length) {
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}
