#include "tools/hidden_text/prefix_code.h"

#include <algorithm>
#include <numeric>
#include <queue>
#include <tuple>

namespace hidden_text_gen {

std::vector<int> huffman_lengths(const std::vector<std::uint64_t>& weights) {
    const int symbols = static_cast<int>(weights.size());
    // Nodes 0..symbols-1 are the leaves; merged nodes follow in the order they are made, so the
    // node number doubles as the tie-breaker.
    std::vector<int> parent(weights.size(), -1);
    using entry_t = std::tuple<std::uint64_t, int>;
    std::priority_queue<entry_t, std::vector<entry_t>, std::greater<>> queue;
    for (int i = 0; i < symbols; ++i) {
        queue.emplace(weights[i], i);
    }
    while (queue.size() > 1) {
        const auto [weight_a, node_a] = queue.top();
        queue.pop();
        const auto [weight_b, node_b] = queue.top();
        queue.pop();
        const int merged = static_cast<int>(parent.size());
        parent.push_back(-1);
        parent[node_a] = merged;
        parent[node_b] = merged;
        queue.emplace(weight_a + weight_b, merged);
    }
    std::vector<int> lengths(weights.size(), 0);
    for (int i = 0; i < symbols; ++i) {
        for (int node = parent[i]; node >= 0; node = parent[node]) {
            ++lengths[i];
        }
    }
    return lengths;
}

std::vector<std::string> canonical_codes(const std::vector<int>& lengths) {
    std::vector<int> order(lengths.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return lengths[a] < lengths[b]; });
    std::vector<std::string> codes(lengths.size());
    // The code is kept as a bit string of growing length, so no length limit applies.
    std::string code;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const int length = lengths[order[k]];
        if (k > 0) {
            // Next code of the same length: binary increment.
            std::size_t i = code.size();
            while (i > 0 && code[i - 1] == '1') {
                code[--i] = '0';
            }
            if (i > 0) {
                code[i - 1] = '1';
            }
        }
        code.resize(static_cast<std::size_t>(length), '0');
        codes[order[k]] = code;
    }
    return codes;
}

std::optional<code_tree_t> build_code_tree(const std::vector<std::string>& codes,
                                           std::string& error) {
    code_tree_t tree;
    tree.nodes.emplace_back();
    for (std::size_t symbol = 0; symbol < codes.size(); ++symbol) {
        const std::string& code = codes[symbol];
        if (code.empty() || code.find_first_not_of("01") != std::string::npos) {
            error = "symbol " + std::to_string(symbol) + " has no valid code";
            return std::nullopt;
        }
        int node = 0;
        for (const char bit : code) {
            if (tree.nodes[node].symbol >= 0) {
                error = "the code of symbol " + std::to_string(tree.nodes[node].symbol) +
                        " is a prefix of the code of symbol " + std::to_string(symbol);
                return std::nullopt;
            }
            const int b = bit - '0';
            if (tree.nodes[node].branch[b] < 0) {
                tree.nodes[node].branch[b] = static_cast<int>(tree.nodes.size());
                tree.nodes.emplace_back();
            }
            node = tree.nodes[node].branch[b];
        }
        if (tree.nodes[node].symbol >= 0 || tree.nodes[node].branch[0] >= 0 ||
            tree.nodes[node].branch[1] >= 0) {
            error = "the code of symbol " + std::to_string(symbol) + " clashes with another code";
            return std::nullopt;
        }
        tree.nodes[node].symbol = static_cast<int>(symbol);
    }
    for (const code_tree_t::node_t& node : tree.nodes) {
        if (node.symbol < 0 && (node.branch[0] < 0 || node.branch[1] < 0)) {
            error = "the code leaves a branch without a leaf";
            return std::nullopt;
        }
    }
    return tree;
}

}  // namespace hidden_text_gen
