#include "helper/main_bundle.h"

#include <cstdlib>

// The property lists travel inside the executable, as they do in the platform's helper tools,
// so nobody can swap them beside it.
__asm__(
    ".pushsection __info_plist,\"a\",@progbits\n"
    ".global corvana_info_plist_begin\n"
    "corvana_info_plist_begin:\n"
    ".incbin \"" CORVANA_INFO_PLIST
    "\"\n"
    ".global corvana_info_plist_end\n"
    "corvana_info_plist_end:\n"
    ".popsection\n"
    ".pushsection __launchd_plist,\"a\",@progbits\n"
    ".global corvana_launchd_plist_begin\n"
    "corvana_launchd_plist_begin:\n"
    ".incbin \"" CORVANA_LAUNCHD_PLIST
    "\"\n"
    ".global corvana_launchd_plist_end\n"
    "corvana_launchd_plist_end:\n"
    ".popsection\n");

extern "C" const char corvana_info_plist_begin[];
extern "C" const char corvana_info_plist_end[];
extern "C" const char corvana_launchd_plist_begin[];
extern "C" const char corvana_launchd_plist_end[];

std::string_view embedded_info_plist() {
    return {corvana_info_plist_begin,
            static_cast<std::size_t>(corvana_info_plist_end - corvana_info_plist_begin)};
}

std::string_view embedded_launchd_plist() {
    return {corvana_launchd_plist_begin,
            static_cast<std::size_t>(corvana_launchd_plist_end - corvana_launchd_plist_begin)};
}

const bundle_t& main_bundle() {
    static const bundle_t bundle = [] {
        auto parsed = bundle_t::from_xml(embedded_info_plist());
        if (!parsed) {
            std::abort();  // the build embeds a broken property list: nothing can work
        }
        return std::move(*parsed);
    }();
    return bundle;
}

std::string authorized_client_requirement() {
    plist_t clients = main_bundle().objectForInfoDictionaryKey(k_info_authorized_clients_key);
    if (clients == nullptr || plist_get_node_type(clients) != PLIST_ARRAY ||
        plist_array_get_size(clients) == 0) {
        return {};
    }
    plist_t last = plist_array_get_item(clients, plist_array_get_size(clients) - 1);
    if (plist_get_node_type(last) != PLIST_STRING) {
        return {};
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(last, &length);
    return text == nullptr ? std::string() : std::string(text, length);
}
