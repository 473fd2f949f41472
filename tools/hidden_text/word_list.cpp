#include "tools/hidden_text/word_list.h"

#include <array>
#include <charconv>
#include <set>

namespace hidden_text_gen {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> unescape(std::string_view spelled, std::string& error) {
    std::string text;
    for (std::size_t i = 0; i < spelled.size(); ++i) {
        const char c = spelled[i];
        if (c != '\\') {
            text.push_back(c);
            continue;
        }
        if (i + 1 < spelled.size() && spelled[i + 1] == '\\') {
            text.push_back('\\');
            ++i;
            continue;
        }
        if (i + 3 < spelled.size() && spelled[i + 1] == 'x') {
            const int high = hex_digit(spelled[i + 2]);
            const int low = hex_digit(spelled[i + 3]);
            if (high >= 0 && low >= 0) {
                text.push_back(static_cast<char>(high * 16 + low));
                i += 3;
                continue;
            }
        }
        error = "bad escape in \"" + std::string(spelled) + "\"";
        return std::nullopt;
    }
    return text;
}

std::optional<word_t> parse_line(std::string_view line, std::string& error) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0 || space + 1 == line.size()) {
        error = "expected \"WEIGHT WORD\"";
        return std::nullopt;
    }
    word_t word{};
    const std::string_view weight = line.substr(0, space);
    const auto [end, ec] =
        std::from_chars(weight.data(), weight.data() + weight.size(), word.weight);
    if (ec != std::errc() || end != weight.data() + weight.size() || word.weight == 0) {
        error = "weight must be a whole number of at least 1";
        return std::nullopt;
    }
    auto text = unescape(line.substr(space + 1), error);
    if (!text) {
        return std::nullopt;
    }
    if (text->find('\0') != std::string::npos) {
        error = "a word cannot hold a NUL byte: it ends the stored word";
        return std::nullopt;
    }
    if (text->size() > k_max_word_length) {
        error = "word longer than " + std::to_string(k_max_word_length) + " bytes";
        return std::nullopt;
    }
    word.text = std::move(*text);
    return word;
}

}  // namespace

std::optional<std::vector<word_t>> parse_word_list(std::string_view content, std::string& error) {
    std::vector<word_t> words;
    std::set<std::string, std::less<>> seen;
    std::size_t line_number = 0;
    while (!content.empty()) {
        ++line_number;
        std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::string line_error;
        auto word = parse_line(line, line_error);
        if (!word) {
            error = "line " + std::to_string(line_number) + ": " + line_error;
            return std::nullopt;
        }
        if (!seen.insert(word->text).second) {
            error = "line " + std::to_string(line_number) + ": word listed twice";
            return std::nullopt;
        }
        words.push_back(std::move(*word));
    }
    return words;
}

std::optional<std::uint8_t> choose_mask(const std::vector<word_t>& words) {
    std::array<bool, 256> used{};
    used[0] = true;
    std::uint32_t hash = 2166136261u;  // FNV-1a over the words and their separators
    for (const word_t& word : words) {
        for (const char c : word.text) {
            const auto byte = static_cast<std::uint8_t>(c);
            used[byte] = true;
            hash = (hash ^ byte) * 16777619u;
        }
        hash = (hash ^ 0u) * 16777619u;
    }
    for (unsigned step = 0; step < 256; ++step) {
        const auto candidate = static_cast<std::uint8_t>((hash + step) & 0xFF);
        if (!used[candidate]) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace hidden_text_gen
