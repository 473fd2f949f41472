#include "tools/hidden_text/expander_plan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tools/hidden_text/emit.h"
#include "tools/hidden_text/texts.h"

namespace hidden_text_gen {
namespace {

std::vector<word_t> small_dictionary() {
    return {{" ", 50}, {"job", 5}, {"file", 5}, {"%s", 5},      {".", 20},
            {"j", 1},  {"o", 1},   {"b", 1},    {"jobfile", 1}, {"never", 1}};
}

// Decodes a bit string by walking the plan's tree, the way the emitted branches do.
std::vector<int> decode(const expander_plan_t& plan, const std::string& bits) {
    std::vector<int> symbols;
    int node = 0;
    for (const char bit : bits) {
        node = plan.tree.nodes[node].branch[bit - '0'];
        if (plan.tree.nodes[node].symbol >= 0) {
            symbols.push_back(plan.tree.nodes[node].symbol);
            node = 0;
        }
    }
    EXPECT_EQ(node, 0) << "bits end inside a code";
    return symbols;
}

TEST(Texts, SpellingTakesTheFewestWords) {
    const auto words = small_dictionary();
    EXPECT_EQ(spell_with_words("job file %s.", words), (std::vector<int>{1, 0, 2, 0, 3, 4}));
    // "jobfile" is one word; "job"+"file" or letters would be more.
    EXPECT_EQ(spell_with_words("jobfile", words), (std::vector<int>{8}));
    // Among equally short spellings the earlier list entry wins at the first difference.
    const std::vector<word_t> tie = {{"c", 1}, {"bc", 1}, {"a", 1}, {"ab", 1}};
    EXPECT_EQ(spell_with_words("abc", tie), (std::vector<int>{2, 1}));
    const std::vector<word_t> tie_swapped = {{"c", 1}, {"ab", 1}, {"a", 1}, {"bc", 1}};
    EXPECT_EQ(spell_with_words("abc", tie_swapped), (std::vector<int>{1, 0}));
    EXPECT_EQ(spell_with_words("", words), (std::vector<int>{}));
    EXPECT_EQ(spell_with_words("jobs", words), std::nullopt);
}

TEST(Texts, ConversionsOtherThanPlainSAreRefused) {
    EXPECT_EQ(count_string_conversions("Starting %s, version %s."), 2);
    EXPECT_EQ(count_string_conversions("100%% done"), 0);
    EXPECT_EQ(count_string_conversions("%%s"), 0);
    EXPECT_EQ(count_string_conversions("%s%%%s"), 2);
    EXPECT_EQ(count_string_conversions("%d files"), std::nullopt);
    EXPECT_EQ(count_string_conversions("%-8s"), std::nullopt);
    EXPECT_EQ(count_string_conversions("left %"), std::nullopt);
    EXPECT_EQ(count_string_conversions("%n"), std::nullopt);
}

TEST(Texts, BitsPackFromTheMostSignificantBit) {
    EXPECT_EQ(pack_bits("1", 2), (std::vector<std::uint8_t>{0x80, 0x00}));
    EXPECT_EQ(pack_bits("000000011", 2), (std::vector<std::uint8_t>{0x01, 0x80}));
    EXPECT_EQ(pack_bits("10100101"
                        "11",
                        3),
              (std::vector<std::uint8_t>{0xA5, 0xC0, 0x00}));
}

TEST(Texts, AStringEndingOnAByteBoundaryNeedsTheNextByte) {
    EXPECT_EQ(bytes_touched(1), 1u);
    EXPECT_EQ(bytes_touched(7), 1u);
    EXPECT_EQ(bytes_touched(8), 2u);
    EXPECT_EQ(bytes_touched(63), 8u);
    EXPECT_EQ(bytes_touched(64), 9u);
}

TEST(ExpanderPlan, TextsAreEncodedAsTheirWordsThenEndOfText) {
    const std::vector<hidden_text_t> texts = {{"one", 8, 1, "job file %s."}, {"two", 8, 0, ""}};
    std::string error;
    const auto plan = plan_expander(small_dictionary(), texts, error);
    ASSERT_TRUE(plan) << error;
    ASSERT_EQ(plan->texts.size(), 2u);
    EXPECT_EQ(decode(*plan, plan->texts[0].bits), (std::vector<int>{1, 0, 2, 0, 3, 4, 10}));
    EXPECT_EQ(plan->texts[1].bits, plan->codes[plan->end_of_text_symbol()]);
    EXPECT_EQ(plan->texts[0].unit, pack_bits(plan->texts[0].bits, 8));
    for (const word_t& word : plan->words) {
        EXPECT_EQ(word.text.find(static_cast<char>(plan->mask)), std::string::npos);
    }
}

TEST(ExpanderPlan, WordsOfTheTextsGetCodesNoLongerThanUnusedOnes) {
    const std::vector<hidden_text_t> texts = {{"one", 8, 0, "never."}};
    std::string error;
    const auto plan = plan_expander(small_dictionary(), texts, error);
    ASSERT_TRUE(plan) << error;
    // "never" weighs 1 in the list, as little as "jobfile", but the text lifts it.
    EXPECT_LT(plan->codes[9].size(), plan->codes[8].size());
}

TEST(ExpanderPlan, RefusesTextsThatCannotBeStored) {
    std::string error;
    // Thirty words cannot share one byte with end-of-text.
    std::string long_text;
    for (int i = 0; i < 30; ++i) {
        long_text += "job ";
    }
    EXPECT_FALSE(plan_expander(small_dictionary(), {{"long", 1, 0, long_text}}, error));
    EXPECT_NE(error.find("do not fit a unit"), std::string::npos) << error;

    EXPECT_FALSE(plan_expander(small_dictionary(), {{"args", 8, 2, "%s."}}, error));
    EXPECT_NE(error.find("exactly 2"), std::string::npos) << error;

    EXPECT_FALSE(plan_expander(small_dictionary(), {{"spell", 8, 0, "jobs"}}, error));
    EXPECT_NE(error.find("cannot spell"), std::string::npos) << error;

    const std::string huge(1024, '.');
    EXPECT_FALSE(plan_expander(small_dictionary(), {{"huge", 4096, 0, huge}}, error));
    EXPECT_NE(error.find("buffer"), std::string::npos) << error;
    const std::string fits(1023, '.');
    EXPECT_TRUE(plan_expander(small_dictionary(), {{"fits", 4096, 0, fits}}, error)) << error;
}

TEST(ExpanderPlan, TheHelperTextsFitWithTheCommittedWords) {
    std::ifstream in(CORVANA_SOURCE_DIR "/tools/hidden_text/words.txt", std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error;
    auto words = parse_word_list(content, error);
    ASSERT_TRUE(words) << error;
    const auto plan = plan_expander(*words, helper_hidden_texts(), error);
    ASSERT_TRUE(plan) << error;
    ASSERT_EQ(plan->texts.size(), 4u);
    for (const encoded_text_t& text : plan->texts) {
        EXPECT_LE(bytes_touched(text.bits.size()), text.text.unit_bytes) << text.text.producer;
    }
    // Same input, same output, byte for byte.
    const auto again = plan_expander(*words, helper_hidden_texts(), error);
    ASSERT_TRUE(again);
    EXPECT_EQ(emit_expander_source(*plan), emit_expander_source(*again));
    EXPECT_EQ(emit_codes_header(*plan), emit_codes_header(*again));
}

TEST(ExpanderPlan, TheEmittedSourceHoldsNoPlainWord) {
    const std::vector<hidden_text_t> texts = {{"job_file_text", 8, 1, "jobfile %s."}};
    std::string error;
    const auto plan = plan_expander(small_dictionary(), texts, error);
    ASSERT_TRUE(plan) << error;
    const std::string source = emit_expander_source(*plan);
    EXPECT_EQ(source.find("jobfile"), std::string::npos);
    EXPECT_NE(source.find("void job_file_text()"), std::string::npos);
    EXPECT_NE(source.find("thread_local char hidden_text_buffer"), std::string::npos);
}

}  // namespace
}  // namespace hidden_text_gen
