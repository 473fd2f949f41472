// Feeds arbitrary bytes to the job-file reader: parse as XML or binary, read the two flags the
// job-file editors touch, and write the XML form back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/plist/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto node = parse_property_list(data, size);
    if (!node) {
        return 0;
    }
    if (plist_get_node_type(node->get()) == PLIST_DICT) {
        for (const char* key : {"Disabled", "RunAtLoad"}) {
            (void)plist_dict_get_item(node->get(), key);
        }
        plist_dict_set_item(node->get(), "Disabled", plist_new_bool(1));
    }
    // Only a string holding a NUL character has no XML form.
    const auto xml = xml_property_list_text(node->get());
    if (!xml) {
        return 0;
    }
    // The XML form reads back, and writes out again as the very same text.
    auto again = parse_property_list(reinterpret_cast<const uint8_t*>(xml->data()), xml->size());
    if (!again || xml_property_list_text(again->get()).value_or("") != *xml) {
        std::abort();
    }
    return 0;
}
