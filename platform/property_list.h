#pragma once

#include <plist/plist.h>

#include <utility>

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
