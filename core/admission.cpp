#include "core/admission.h"

#include <string>

std::optional<sec_code_t> admitted_client_code(const audit_token_t& token,
                                               plist_t authorized_clients) {
    auto code = SecCodeCopyGuestWithAttributes(token);

    // The last entry of the list is the requirement that counts.
    if (authorized_clients == nullptr || plist_get_node_type(authorized_clients) != PLIST_ARRAY ||
        plist_array_get_size(authorized_clients) == 0) {
        return std::nullopt;
    }
    plist_t last =
        plist_array_get_item(authorized_clients, plist_array_get_size(authorized_clients) - 1);
    if (plist_get_node_type(last) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(last, &length);
    auto requirement = SecRequirementCreateWithString(std::string_view(text, length));
    if (!requirement || !code || SecCodeCheckValidity(*code, &*requirement) != errSecSuccess) {
        return std::nullopt;
    }
    return code;
}
