#include "platform/plist/bundle.h"

#include <string>

result<bundle_t> bundle_t::from_xml(std::string_view xml) {
    plist_t raw = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
    plist_node_t info(raw);
    if (!info || plist_get_node_type(info.get()) != PLIST_DICT) {
        return result<>::failure("the information property list is no dictionary");
    }
    return bundle_t(std::move(info));
}

plist_t bundle_t::objectForInfoDictionaryKey(std::string_view key) const {
    return plist_dict_get_item(info_.get(), std::string(key).c_str());
}

std::optional<std::string> bundle_t::string_for_key(std::string_view key) const {
    plist_t node = objectForInfoDictionaryKey(key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text, length);
}
