#include "tools/hidden_text/prefix_code.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace hidden_text_gen {
namespace {

// Sum of 2^-length over all codes, in units of 2^-max_length: a complete code sums to exactly 1.
bool kraft_complete(const std::vector<int>& lengths) {
    int longest = 0;
    for (const int l : lengths) {
        longest = std::max(longest, l);
    }
    std::uint64_t sum = 0;
    for (const int l : lengths) {
        sum += std::uint64_t{1} << (longest - l);
    }
    return sum == (std::uint64_t{1} << longest);
}

std::uint64_t cost(const std::vector<std::uint64_t>& weights, const std::vector<int>& lengths) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        total += weights[i] * static_cast<std::uint64_t>(lengths[i]);
    }
    return total;
}

TEST(PrefixCode, HuffmanGivesTheKnownOptimalLengths) {
    EXPECT_EQ(huffman_lengths({4, 2, 1, 1}), (std::vector<int>{1, 2, 3, 3}));
    EXPECT_EQ(huffman_lengths({1, 1}), (std::vector<int>{1, 1}));
    // Doubling weights make the deepest possible tree.
    EXPECT_EQ(huffman_lengths({1, 1, 2, 4, 8, 16}), (std::vector<int>{5, 5, 4, 3, 2, 1}));
    // Classic example: optimal cost 224 for these frequencies.
    const std::vector<std::uint64_t> letters = {45, 13, 12, 16, 9, 5};
    EXPECT_EQ(cost(letters, huffman_lengths(letters)), 224u);
}

TEST(PrefixCode, TiesBreakBySymbolOrder) {
    // Three equal weights: the first two merge first, so the last symbol gets the short code.
    EXPECT_EQ(huffman_lengths({1, 1, 1}), (std::vector<int>{2, 2, 1}));
    EXPECT_EQ(huffman_lengths({5, 5, 5, 5, 5}), (std::vector<int>{3, 3, 2, 2, 2}));
}

TEST(PrefixCode, ManySymbolsGiveACompleteReproducibleCode) {
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> weights(3264);
    for (auto& w : weights) {
        w = 1 + random() % 100000;
    }
    const auto lengths = huffman_lengths(weights);
    EXPECT_TRUE(kraft_complete(lengths));
    EXPECT_EQ(huffman_lengths(weights), lengths);
    for (std::size_t i = 0; i < weights.size(); ++i) {
        for (std::size_t j = 0; j < weights.size(); j += 97) {
            if (weights[i] > weights[j]) {
                ASSERT_LE(lengths[i], lengths[j]) << "a heavier word got a longer code";
            }
        }
    }

    std::string error;
    const auto codes = canonical_codes(lengths);
    const auto tree = build_code_tree(codes, error);
    ASSERT_TRUE(tree) << error;
    EXPECT_EQ(tree->nodes.size(), 2 * weights.size() - 1);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        ASSERT_EQ(codes[i].size(), static_cast<std::size_t>(lengths[i]));
    }
}

TEST(PrefixCode, CanonicalCodesCountUpFromZeroByLengthThenSymbol) {
    EXPECT_EQ(canonical_codes({2, 1, 3, 3}), (std::vector<std::string>{"10", "0", "110", "111"}));
    EXPECT_EQ(canonical_codes({2, 2, 2, 2}), (std::vector<std::string>{"00", "01", "10", "11"}));
}

TEST(PrefixCode, ATreeWalkFindsEachSymbolByItsCode) {
    const std::vector<std::string> codes = {"10", "0", "110", "111"};
    std::string error;
    const auto tree = build_code_tree(codes, error);
    ASSERT_TRUE(tree) << error;
    for (std::size_t symbol = 0; symbol < codes.size(); ++symbol) {
        int node = 0;
        for (const char bit : codes[symbol]) {
            ASSERT_LT(tree->nodes[node].symbol, 0);
            node = tree->nodes[node].branch[bit - '0'];
        }
        EXPECT_EQ(tree->nodes[node].symbol, static_cast<int>(symbol));
    }
}

TEST(PrefixCode, RefusesCodesTheBranchesCannotFollow) {
    std::string error;
    EXPECT_FALSE(build_code_tree({"0", "01", "1"}, error));
    EXPECT_NE(error.find("prefix"), std::string::npos) << error;
    EXPECT_FALSE(build_code_tree({"01", "0", "1"}, error)) << "longer code first";
    EXPECT_FALSE(build_code_tree({"0", "0"}, error));
    EXPECT_FALSE(build_code_tree({"0", "10"}, error));
    EXPECT_NE(error.find("without a leaf"), std::string::npos) << error;
    EXPECT_FALSE(build_code_tree({"0", ""}, error));
    EXPECT_FALSE(build_code_tree({"0", "1x"}, error));
}

}  // namespace
}  // namespace hidden_text_gen
