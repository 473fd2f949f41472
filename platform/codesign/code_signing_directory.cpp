#include "platform/codesign/code_signing_directory.h"

#include <plist/plist.h>

#include <algorithm>

#include "platform/plist/property_list.h"
#include "platform/posix/path_text.h"

namespace code_signing {

namespace {

// Version 2 records the executable's size, so a check can refuse a file of another size before it
// reads a byte of it; version 1 signatures are refused and must be made again.
constexpr std::uint64_t format_version = 2;

std::optional<std::string> string_value(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr || length > k_max_identifier_length) {
        return std::nullopt;
    }
    return std::string(text, length);
}

std::optional<sha256_t> hash_value(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* data = plist_get_data_ptr(node, &length);
    sha256_t hash{};
    if (data == nullptr || length != hash.size()) {
        return std::nullopt;
    }
    std::copy(data, data + hash.size(), hash.begin());
    return hash;
}

void set_data(plist_t dict, const char* key, const sha256_t& hash) {
    plist_dict_set_item(dict, key,
                        plist_new_data(reinterpret_cast<const char*>(hash.data()), hash.size()));
}

}  // namespace

bool is_plain_file_name(std::string_view name) {
    return is_single_path_component(name) && name.size() <= 255 &&
           std::none_of(name.begin(), name.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

std::optional<std::vector<std::uint8_t>> encode_code_directory(const code_directory_t& directory) {
    if (directory.identifier.empty() || directory.identifier.size() > k_max_identifier_length ||
        directory.team_identifier.size() > k_max_identifier_length ||
        !is_plain_file_name(directory.executable)) {
        return std::nullopt;
    }
    plist_node_t dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "Version", plist_new_uint(format_version));
    plist_dict_set_item(dict.get(), "HashType", plist_new_string("sha256"));
    plist_dict_set_item(dict.get(), "Identifier", plist_new_string(directory.identifier.c_str()));
    plist_dict_set_item(dict.get(), "TeamIdentifier",
                        plist_new_string(directory.team_identifier.c_str()));
    plist_dict_set_item(dict.get(), "Executable", plist_new_string(directory.executable.c_str()));
    plist_dict_set_item(dict.get(), "ExecutableSize", plist_new_uint(directory.executable_size));
    set_data(dict.get(), "ExecutableHash", directory.executable_hash);
    set_data(dict.get(), "InfoPlistHash", directory.info_plist_hash);
    auto text = xml_property_list_text(dict.get());
    if (!text) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(text->begin(), text->end());
}

std::optional<code_directory_t> decode_code_directory(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > k_max_code_directory_size) {
        return std::nullopt;
    }
    auto root = parse_property_list(bytes.data(), bytes.size());
    if (!root || plist_get_node_type(root->get()) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t dict = root->get();
    plist_t version = plist_dict_get_item(dict, "Version");
    std::uint64_t version_value = 0;
    if (version == nullptr || plist_get_node_type(version) != PLIST_UINT) {
        return std::nullopt;
    }
    plist_get_uint_val(version, &version_value);
    if (version_value != format_version || string_value(dict, "HashType") != "sha256") {
        return std::nullopt;
    }
    code_directory_t directory;
    auto identifier = string_value(dict, "Identifier");
    auto team = string_value(dict, "TeamIdentifier");
    auto executable = string_value(dict, "Executable");
    auto executable_hash = hash_value(dict, "ExecutableHash");
    auto info_hash = hash_value(dict, "InfoPlistHash");
    plist_t size = plist_dict_get_item(dict, "ExecutableSize");
    if (!identifier || identifier->empty() || !team || !executable ||
        !is_plain_file_name(*executable) || !executable_hash || !info_hash || size == nullptr ||
        plist_get_node_type(size) != PLIST_UINT) {
        return std::nullopt;
    }
    plist_get_uint_val(size, &directory.executable_size);
    if (directory.executable_size > max_executable_size) {
        return std::nullopt;
    }
    directory.identifier = std::move(*identifier);
    directory.team_identifier = std::move(*team);
    directory.executable = std::move(*executable);
    directory.executable_hash = *executable_hash;
    directory.info_plist_hash = *info_hash;
    return directory;
}

}  // namespace code_signing
