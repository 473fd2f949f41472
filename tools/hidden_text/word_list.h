#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hidden_text_gen {

// The dictionary always names this many words; the expander's callers rely on nothing else.
constexpr std::size_t k_dictionary_word_count = 3263;

// A word longer than this could never sit in a 1024-byte text with anything else.
constexpr std::size_t k_max_word_length = 255;

struct word_t {
    std::string text;
    std::uint64_t weight;  // how often the word turns up in running text; shapes its code length
};

// One word a line, "WEIGHT WORD". WORD spells the space, the backslash and every byte outside
// printable ASCII as \xHH (the backslash also as \\), so that no word depends on trailing
// whitespace surviving an editor. Blank lines and lines starting with '#' are skipped. Words
// must be distinct, non-empty, free of NUL bytes and weighted at least 1.
[[nodiscard]] std::optional<std::vector<word_t>> parse_word_list(std::string_view content,
                                                                 std::string& error);

// A mask byte that occurs in no word and is not zero, so that no masked byte is zero. The first
// candidate is taken from a hash of the words, so the mask follows the list, not the build host.
[[nodiscard]] std::optional<std::uint8_t> choose_mask(const std::vector<word_t>& words);

}  // namespace hidden_text_gen
