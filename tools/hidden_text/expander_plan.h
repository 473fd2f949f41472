#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/hidden_text/prefix_code.h"
#include "tools/hidden_text/texts.h"
#include "tools/hidden_text/word_list.h"

namespace hidden_text_gen {

// Every use of a word in a hidden text adds this fraction of the list's total weight to it, so
// that the hidden texts get short codes and fit their units.
constexpr std::uint64_t k_text_use_share_divisor = 64;

// The texts must fit the expander's buffer, terminating zero included.
constexpr std::size_t k_text_buffer_size = 1024;

struct encoded_text_t {
    hidden_text_t text;
    std::vector<int> words;          // dictionary indices, end-of-text not included
    std::string bits;                // the codes of the words and of end-of-text
    std::vector<std::uint8_t> unit;  // bits packed into the producer's unit
};

// Everything the emitted code needs: the prefix code has one symbol per word plus end-of-text,
// which is the last symbol.
struct expander_plan_t {
    std::vector<word_t> words;
    std::uint8_t mask = 0;
    std::vector<std::string> codes;
    code_tree_t tree;
    std::vector<encoded_text_t> texts;

    int end_of_text_symbol() const { return static_cast<int>(words.size()); }
};

// Fails, naming the reason, when the words cannot spell a text, a text has the wrong arguments,
// or a text does not fit its unit or the buffer.
[[nodiscard]] std::optional<expander_plan_t> plan_expander(std::vector<word_t> words,
                                                           const std::vector<hidden_text_t>& texts,
                                                           std::string& error);

}  // namespace hidden_text_gen
