#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/posix/small_file.h"

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

// Parses an XML or binary property list held in memory. No node for malformed input, input
// larger than k_property_list_max_bytes, nesting deeper than k_property_list_max_depth or a
// dictionary that holds a key twice.
[[nodiscard]] std::optional<plist_node_t> parse_property_list(const std::uint8_t* data,
                                                              std::size_t size);

// Reads and parses the property list stored at path, XML or binary. No node when the path is
// not a regular file (a directory, a device, a FIFO, a refused link), is larger than
// k_property_list_max_bytes, can't be read or holds no valid property list.
[[nodiscard]] std::optional<plist_node_t> read_property_list(
    const std::string& path, symlink_policy_t links = symlink_policy_t::follow);

// The XML form the platform's serializer writes: its XML header and DOCTYPE, version 1.0,
// tab indentation, dictionary keys in sorted order. No text for a tree nested deeper than
// k_property_list_max_depth or holding a string with a NUL character, which XML can't carry.
[[nodiscard]] std::optional<std::string> xml_property_list_text(plist_t node);

// Writes the XML form of node to path so that readers see either the old file or the new one,
// never a part: a fresh temporary file beside it, flushed to disk, then renamed over it. A
// symbolic link at path is replaced, never written through. An existing file's mode and owner
// carry over; a new file gets mode 0644. False when anything fails, with errno saying why (EINVAL
// for a tree that has no XML form); path is then unchanged.
[[nodiscard]] bool write_xml_property_list_atomically(const std::string& path, plist_t node);
