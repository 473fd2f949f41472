#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hidden_text_gen {

// Code length of every symbol by Huffman's pairwise merge. Equal weights are broken by symbol
// index (leaves) and age (merged subtrees), so the result depends on nothing but the weights.
// Needs at least two symbols.
[[nodiscard]] std::vector<int> huffman_lengths(const std::vector<std::uint64_t>& weights);

// Canonical codes for the given lengths, as strings of '0' and '1': shorter codes first, equal
// lengths in symbol order. The lengths must satisfy Kraft's inequality.
[[nodiscard]] std::vector<std::string> canonical_codes(const std::vector<int>& lengths);

// The binary tree of a prefix code: node 0 is the root; an inner node has both branches, a leaf
// names its symbol.
struct code_tree_t {
    struct node_t {
        int branch[2] = {-1, -1};  // child node for bit 0 and bit 1
        int symbol = -1;           // the leaf's symbol, -1 for an inner node
    };
    std::vector<node_t> nodes;
};

// Fails when a code is empty, holds anything but '0' and '1', is a prefix of another, or leaves a
// branch without a leaf (the expander would have nowhere to go on that bit).
[[nodiscard]] std::optional<code_tree_t> build_code_tree(const std::vector<std::string>& codes,
                                                         std::string& error);

}  // namespace hidden_text_gen
