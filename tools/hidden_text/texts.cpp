#include "tools/hidden_text/texts.h"

#include <limits>

namespace hidden_text_gen {

const std::vector<hidden_text_t>& helper_hidden_texts() {
    static const std::vector<hidden_text_t> texts = {
        {"start_line_text", 16, 2, "Starting %s helper tool, version %s."},
        {"end_line_text", 8, 0, "Stopping helper tool."},
        {"job_file_missing_text", 8, 1, "Missing job file %s."},
        {"job_file_unreadable_text", 8, 1, "Unreadable job file %s."},
    };
    return texts;
}

std::optional<std::vector<int>> spell_with_words(std::string_view text,
                                                 const std::vector<word_t>& words) {
    // best[i]: fewest words spelling text[i..]; choice[i]: the first of them. Filled from the end
    // so that ties keep the earliest word in list order at every position.
    constexpr int k_none = std::numeric_limits<int>::max();
    const std::size_t length = text.size();
    std::vector<int> best(length + 1, k_none);
    std::vector<int> choice(length + 1, -1);
    best[length] = 0;
    for (std::size_t i = length; i-- > 0;) {
        for (std::size_t w = 0; w < words.size(); ++w) {
            const std::string& word = words[w].text;
            if (word.empty() || text.substr(i, word.size()) != word) {
                continue;
            }
            const int rest = best[i + word.size()];
            if (rest != k_none && rest + 1 < best[i]) {
                best[i] = rest + 1;
                choice[i] = static_cast<int>(w);
            }
        }
    }
    if (best[0] == k_none) {
        return std::nullopt;
    }
    std::vector<int> spelled;
    for (std::size_t i = 0; i < length; i += words[choice[i]].text.size()) {
        spelled.push_back(choice[i]);
    }
    return spelled;
}

std::optional<int> count_string_conversions(std::string_view format) {
    int count = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        if (i + 1 == format.size()) {
            return std::nullopt;
        }
        const char next = format[++i];
        if (next == 's') {
            ++count;
        } else if (next != '%') {
            return std::nullopt;
        }
    }
    return count;
}

std::vector<std::uint8_t> pack_bits(std::string_view bits, std::size_t unit_bytes) {
    std::vector<std::uint8_t> unit(unit_bytes, 0);
    for (std::size_t i = 0; i < bits.size() && i / 8 < unit_bytes; ++i) {
        if (bits[i] == '1') {
            unit[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
        }
    }
    return unit;
}

}  // namespace hidden_text_gen
