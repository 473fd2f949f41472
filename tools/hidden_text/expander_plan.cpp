#include "tools/hidden_text/expander_plan.h"

namespace hidden_text_gen {

namespace {

bool check_text(const hidden_text_t& text, std::string& error) {
    const auto conversions = count_string_conversions(text.text);
    if (!conversions || *conversions != text.string_arguments) {
        error = std::string(text.producer) + ": the format must take exactly " +
                std::to_string(text.string_arguments) + " C text argument(s) and nothing else";
        return false;
    }
    if (text.text.size() + 1 > k_text_buffer_size) {
        error = std::string(text.producer) + ": the text does not fit the " +
                std::to_string(k_text_buffer_size) + "-byte buffer";
        return false;
    }
    if (text.unit_bytes == 0) {
        error = std::string(text.producer) + ": empty unit";
        return false;
    }
    return true;
}

}  // namespace

std::optional<expander_plan_t> plan_expander(std::vector<word_t> words,
                                             const std::vector<hidden_text_t>& texts,
                                             std::string& error) {
    if (words.empty()) {
        error = "the word list is empty";
        return std::nullopt;
    }
    expander_plan_t plan;
    const auto mask = choose_mask(words);
    if (!mask) {
        error = "every byte value occurs in some word: no mask is left";
        return std::nullopt;
    }
    plan.mask = *mask;

    std::vector<std::vector<int>> spellings;
    for (const hidden_text_t& text : texts) {
        if (!check_text(text, error)) {
            return std::nullopt;
        }
        auto spelled = spell_with_words(text.text, words);
        if (!spelled) {
            error = std::string(text.producer) + ": the words cannot spell \"" +
                    std::string(text.text) + "\"";
            return std::nullopt;
        }
        spellings.push_back(std::move(*spelled));
    }

    std::uint64_t total = 0;
    for (const word_t& word : words) {
        total += word.weight;
    }
    const std::uint64_t share = total / k_text_use_share_divisor + 1;
    std::vector<std::uint64_t> weights;
    for (const word_t& word : words) {
        weights.push_back(word.weight);
    }
    weights.push_back(1 + share * texts.size());  // end-of-text closes every text
    for (const std::vector<int>& spelled : spellings) {
        for (const int w : spelled) {
            weights[w] += share;
        }
    }
    if (weights.size() < 2) {
        error = "a prefix code needs at least two symbols";
        return std::nullopt;
    }
    plan.codes = canonical_codes(huffman_lengths(weights));
    auto tree = build_code_tree(plan.codes, error);
    if (!tree) {
        return std::nullopt;
    }
    plan.tree = std::move(*tree);
    plan.words = std::move(words);

    for (std::size_t t = 0; t < texts.size(); ++t) {
        encoded_text_t encoded{texts[t], std::move(spellings[t]), {}, {}};
        for (const int w : encoded.words) {
            encoded.bits += plan.codes[w];
        }
        encoded.bits += plan.codes[plan.end_of_text_symbol()];
        if (bytes_touched(encoded.bits.size()) > encoded.text.unit_bytes) {
            error = std::string(encoded.text.producer) + ": " +
                    std::to_string(encoded.bits.size()) + " bits do not fit a unit of " +
                    std::to_string(encoded.text.unit_bytes) + " bytes";
            return std::nullopt;
        }
        encoded.unit = pack_bits(encoded.bits, encoded.text.unit_bytes);
        plan.texts.push_back(std::move(encoded));
    }
    return plan;
}

}  // namespace hidden_text_gen
