#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/plist/property_list.h"

// A bundle's information dictionary, standing in for NSBundle's: answers
// objectForInfoDictionaryKey:-style look-ups from an XML property list.
class bundle_t {
  public:
    // A failure when the text is not a property list with a dictionary at its top.
    static result<bundle_t> from_xml(std::string_view xml);

    // The value for key, owned by the bundle; null when absent.
    plist_t objectForInfoDictionaryKey(std::string_view key) const;
    // The value for key when it is a string; nothing otherwise (a look-up, which can't fail).
    std::optional<std::string> string_for_key(std::string_view key) const;

  private:
    explicit bundle_t(plist_node_t info) : info_(std::move(info)) {}
    plist_node_t info_;
};
