// Wildcards and relative paths of any shape: the conversion stays anchored, compiling and
// matching never crash or run away, and a wildcard of plain characters matches its own text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "install/wildcard.h"

namespace {

bool plain(std::string_view text) {
    for (unsigned char c : text) {
        const bool letter_or_digit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter_or_digit && c != '_' && c != '-' && c != '/' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line is the wildcard, the rest the path it is matched against.
    const auto split = input.find('\n');
    const std::string_view wildcard = input.substr(0, split);
    const std::string_view path =
        split == std::string_view::npos ? wildcard : input.substr(split + 1);

    const std::string expression = wildcard_to_regex(wildcard);
    if (!expression.starts_with('^') || !expression.ends_with('$') ||
        expression.size() < wildcard.size() + 2) {
        std::abort();
    }
    const auto matcher = wildcard_matcher_t::compile(wildcard);
    if (!matcher) {
        return 0;
    }
    (void)matcher->matches(path);
    if (plain(wildcard) && !matcher->matches(wildcard)) {
        std::abort();
    }
    return 0;
}
