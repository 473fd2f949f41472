#include "tools/hidden_text/word_list.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

namespace hidden_text_gen {
namespace {

std::vector<word_t> parse_ok(std::string_view content) {
    std::string error;
    auto words = parse_word_list(content, error);
    EXPECT_TRUE(words) << error;
    return words ? *words : std::vector<word_t>{};
}

std::string parse_error(std::string_view content) {
    std::string error;
    EXPECT_FALSE(parse_word_list(content, error)) << content;
    return error;
}

TEST(WordList, ReadsWeightsAndEscapedWords) {
    const auto words = parse_ok(
        "# comment\n"
        "\n"
        "12 plain\n"
        "7 \\x20\n"
        "3 a\\\\b\r\n"
        "1 %s\\x2C\\x20");
    ASSERT_EQ(words.size(), 4u);
    EXPECT_EQ(words[0].text, "plain");
    EXPECT_EQ(words[0].weight, 12u);
    EXPECT_EQ(words[1].text, " ");
    EXPECT_EQ(words[2].text, "a\\b");
    EXPECT_EQ(words[3].text, "%s, ");
    EXPECT_EQ(words[3].weight, 1u);
}

TEST(WordList, RefusesMalformedLinesNamingTheLine) {
    EXPECT_EQ(parse_error("1 a\n1 a\n"), "line 2: word listed twice");
    EXPECT_NE(parse_error("word\n").find("line 1"), std::string::npos);
    EXPECT_NE(parse_error("0 zero\n").find("weight"), std::string::npos);
    EXPECT_NE(parse_error("-3 negative\n").find("weight"), std::string::npos);
    EXPECT_NE(parse_error("12x word\n").find("weight"), std::string::npos);
    EXPECT_NE(parse_error("1 \n").find("line 1"), std::string::npos);
    EXPECT_NE(parse_error("1 a\\x2\n").find("escape"), std::string::npos);
    EXPECT_NE(parse_error("1 a\\q\n").find("escape"), std::string::npos);
    EXPECT_NE(parse_error("1 trailing\\\n").find("escape"), std::string::npos);
    // A NUL would end the stored word early and shift every word after it.
    EXPECT_NE(parse_error("1 a\\x00b\n").find("NUL"), std::string::npos);
    EXPECT_NE(parse_error("1 " + std::string(k_max_word_length + 1, 'w') + "\n").find("longer"),
              std::string::npos);
    EXPECT_EQ(parse_ok("1 " + std::string(k_max_word_length, 'w')).size(), 1u);
}

TEST(WordList, TheMaskIsAByteOfNoWordAndNeverZero) {
    std::vector<word_t> words;
    // Every byte but 0x00 and 0xA7 is taken: the mask can only be 0xA7.
    for (int b = 1; b < 256; ++b) {
        if (b != 0xA7) {
            words.push_back({std::string(1, static_cast<char>(b)), 1});
        }
    }
    EXPECT_EQ(choose_mask(words), std::optional<std::uint8_t>(0xA7));

    words.push_back({std::string(1, static_cast<char>(0xA7)), 1});
    EXPECT_EQ(choose_mask(words), std::nullopt);
}

TEST(WordList, TheMaskFollowsTheWordsOnly) {
    const std::vector<word_t> a = {{"alpha", 1}, {"beta", 2}};
    const std::vector<word_t> b = {{"alpha", 1}, {"gamma", 2}};
    EXPECT_EQ(choose_mask(a), choose_mask(a));
    // Mostly the hash moves the mask with the words; either way it is free of both lists.
    for (const auto* words : {&a, &b}) {
        const auto mask = choose_mask(*words);
        ASSERT_TRUE(mask);
        EXPECT_NE(*mask, 0);
        for (const word_t& word : *words) {
            EXPECT_EQ(word.text.find(static_cast<char>(*mask)), std::string::npos);
        }
    }
}

TEST(WordList, TheCommittedListIsAValidDictionary) {
    std::ifstream in(CORVANA_SOURCE_DIR "/tools/hidden_text/words.txt", std::ios::binary);
    ASSERT_TRUE(in);
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto words = parse_ok(content);
    ASSERT_EQ(words.size(), k_dictionary_word_count);
    std::size_t stored = 0;
    for (const word_t& word : words) {
        stored += word.text.size() + 1;
    }
    // Stored with one zero byte per word, the dictionary takes about 28 KB.
    EXPECT_GT(stored, 26u * 1024);
    EXPECT_LT(stored, 30u * 1024);
}

}  // namespace
}  // namespace hidden_text_gen
