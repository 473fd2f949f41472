#include "platform/plist/property_list_parse.h"

#include <algorithm>
#include <memory>

#include "base/malloced.h"

namespace {

// Nested no deeper than the bound, and no dictionary with a key twice.
bool well_formed(plist_t node, int depth) {
    const plist_type type = plist_get_node_type(node);
    if (type != PLIST_ARRAY && type != PLIST_DICT) {
        return true;
    }
    if (depth >= k_property_list_max_depth) {
        return false;
    }
    if (type == PLIST_ARRAY) {
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            if (!well_formed(plist_array_get_item(node, i), depth + 1)) {
                return false;
            }
        }
        return true;
    }
    // Any order that puts equal keys side by side will do.
    plist_dict_entries_t entries = plist_dict_entries(node);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // A binary property list can repeat a key, and then which value counts is anyone's guess.
        if (i > 0 && entries[i].first == entries[i - 1].first) {
            return false;
        }
        if (!well_formed(entries[i].second, depth + 1)) {
            return false;
        }
    }
    return true;
}

// libplist aborts the whole process when it meets a dictionary key with a NUL inside, which
// only the binary format can carry. Such input is screened out first: every object the offset
// table lists is looked at, and a string object with a NUL character, or one whose length can't be
// made out, makes the input unreadable.
class binary_screen_t {
  public:
    binary_screen_t(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool acceptable() const {
        constexpr std::size_t k_header = 8;
        constexpr std::size_t k_trailer = 32;
        if (size_ < k_header + k_trailer) {
            return true;  // too short for libplist too
        }
        const std::size_t trailer = size_ - k_trailer;
        const std::size_t offset_size = data_[trailer + 6];
        const std::uint64_t objects = big_endian(trailer + 8, 8);
        const std::uint64_t table = big_endian(trailer + 24, 8);
        if (offset_size == 0 || offset_size > 8 || objects > size_ || table >= size_ ||
            objects * offset_size > size_ - table) {
            return true;  // libplist refuses a table that does not fit
        }
        for (std::uint64_t i = 0; i < objects; ++i) {
            const std::uint64_t offset = big_endian(table + i * offset_size, offset_size);
            if (offset < size_ && !string_object_acceptable(offset)) {
                return false;
            }
        }
        return true;
    }

  private:
    std::uint64_t big_endian(std::size_t at, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = (value << 8) | data_[at + i];
        }
        return value;
    }

    bool string_object_acceptable(std::uint64_t offset) const {
        const std::uint8_t marker = data_[offset];
        const unsigned kind = marker >> 4;
        constexpr unsigned k_ascii = 0x5;
        constexpr unsigned k_utf16 = 0x6;
        constexpr unsigned k_utf8 = 0x7;
        if (kind != k_ascii && kind != k_utf16 && kind != k_utf8) {
            return true;
        }
        std::uint64_t at = offset + 1;
        std::uint64_t length = marker & 0x0f;
        if (length == 0x0f) {
            // The length follows as an integer object of 1, 2, 4 or 8 bytes.
            if (at >= size_ || (data_[at] & 0xf0) != 0x10 || (data_[at] & 0x0f) > 3) {
                return false;
            }
            const std::size_t width = std::size_t{1} << (data_[at] & 0x0f);
            if (width > size_ - at - 1) {
                return false;
            }
            length = big_endian(static_cast<std::size_t>(at + 1), width);
            at += 1 + width;
        }
        const std::uint64_t unit = kind == k_utf16 ? 2 : 1;
        if (at > size_ || length > (size_ - at) / unit) {
            return false;
        }
        for (std::uint64_t i = 0; i < length; ++i) {
            const std::uint8_t* character = data_ + at + i * unit;
            if (character[0] == 0 && (unit == 1 || character[1] == 0)) {
                return false;
            }
        }
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace

// libplist hands out each key as a fresh allocation and the iterator as another one.
plist_dict_entries_t plist_dict_entries(plist_t dict) {
    plist_dict_entries_t entries;
    plist_dict_iter raw_iter = nullptr;
    plist_dict_new_iter(dict, &raw_iter);
    const malloced_ptr<void> iter(raw_iter);
    while (true) {
        char* raw_key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter.get(), &raw_key, &value);
        const malloced_ptr<char> key(raw_key);
        if (key == nullptr || value == nullptr) {
            break;
        }
        entries.emplace_back(key.get(), value);
    }
    return entries;
}

result<plist_node_t> parse_property_list(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0) {
        return result<>::failure("no property list");
    }
    if (size > k_property_list_max_bytes) {
        return result<>::failure("the property list is too large");
    }
    if (plist_is_binary(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size)) &&
        !binary_screen_t(data, size).acceptable()) {
        return result<>::failure("malformed binary property list");
    }
    plist_t raw = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), &raw);
    plist_node_t node(raw);
    if (!node) {
        return result<>::failure("malformed property list");
    }
    if (!well_formed(node.get(), 0)) {
        return result<>::failure("the property list is nested too deeply or repeats a key");
    }
    return node;
}
