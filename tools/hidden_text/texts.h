#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/hidden_text/word_list.h"

namespace hidden_text_gen {

// One text of the helper that is kept out of the binary's plain strings.
struct hidden_text_t {
    std::string_view producer;  // name of the generated function that expands it
    std::size_t unit_bytes;     // the producer's bit string lives in a unit of this many bytes
    int string_arguments;       // the text is a printf format taking this many C texts
    std::string_view text;
};

// The four trace formats: the start and end lines and the two job-file errors.
const std::vector<hidden_text_t>& helper_hidden_texts();

// The text as dictionary word indices, joined with nothing between them: the fewest words that
// spell it; among equally short spellings, the one whose first differing word comes first in
// the list. Fails when no spelling exists.
[[nodiscard]] std::optional<std::vector<int>> spell_with_words(std::string_view text,
                                                               const std::vector<word_t>& words);

// The number of "%s" conversions of a printf format, or nothing when the format holds any other
// conversion (or a lone '%' at its end): the texts are only ever given C texts.
[[nodiscard]] std::optional<int> count_string_conversions(std::string_view format);

// The expander reads the byte after the one holding a code's last bit as soon as that bit is
// bit 0, so a string of bit_count bits touches bit_count / 8 + 1 bytes.
[[nodiscard]] constexpr std::size_t bytes_touched(std::size_t bit_count) {
    return bit_count / 8 + 1;
}

// Bits ('0'/'1') packed from the most significant bit of the first byte on, zero-padded to
// unit_bytes. The caller has checked that the bits fit.
[[nodiscard]] std::vector<std::uint8_t> pack_bits(std::string_view bits, std::size_t unit_bytes);

}  // namespace hidden_text_gen
