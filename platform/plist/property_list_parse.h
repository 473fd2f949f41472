#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/result.h"

// Property lists held in memory: the owning node handle and the screened parser. Needs libplist
// alone, so the message format (and the client library that carries it) can use it without the
// file and XML side in property_list.h.

// Owning handle of a libplist node: frees the node (and its children) on destruction.
class plist_node_t {
  public:
    plist_node_t() = default;
    explicit plist_node_t(plist_t node) : node_(node) {}
    plist_node_t(plist_node_t&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    plist_node_t& operator=(plist_node_t&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.node_, nullptr));
        }
        return *this;
    }
    plist_node_t(const plist_node_t&) = delete;
    plist_node_t& operator=(const plist_node_t&) = delete;
    ~plist_node_t() { reset(); }

    plist_t get() const { return node_; }
    explicit operator bool() const { return node_ != nullptr; }
    // The caller takes over the node and must free it or hand it to a container.
    plist_t release() { return std::exchange(node_, nullptr); }
    void reset(plist_t node = nullptr) {
        if (node_ != nullptr) {
            plist_free(node_);
        }
        node_ = node;
    }

  private:
    plist_t node_ = nullptr;
};

// A node known to be a dictionary (a job description, a job file's top level).
using plist_dict_t = plist_node_t;

// Job files are a few hundred bytes; anything near this size is not one of ours and is refused
// rather than read into memory.
constexpr std::size_t k_property_list_max_bytes = 1024 * 1024;
// Containers nested deeper than this are refused, so that no walk over a tree can exhaust the
// stack.
constexpr int k_property_list_max_depth = 64;

// Parses an XML or binary property list held in memory. A failure for malformed input, input
// larger than k_property_list_max_bytes, nesting deeper than k_property_list_max_depth or a
// dictionary that holds a key twice.
result<plist_node_t> parse_property_list(const std::uint8_t* data, std::size_t size);

// The keys of a dictionary with their values (owned by the dictionary), in no particular order.
using plist_dict_entries_t = std::vector<std::pair<std::string, plist_t>>;
[[nodiscard]] plist_dict_entries_t plist_dict_entries(plist_t dict);
