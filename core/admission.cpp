#include "core/admission.h"

#include <string>

admission_t admit_client(const audit_token_t& token, plist_t authorized_clients,
                         const code_check_limits_t& limits) {
    admission_t admission;
    auto code = SecCodeCopyGuestWithAttributes(token);

    // The last entry of the list is the requirement that counts.
    if (authorized_clients == nullptr || plist_get_node_type(authorized_clients) != PLIST_ARRAY ||
        plist_array_get_size(authorized_clients) == 0) {
        admission.status = errSecCSReqInvalid;
        return admission;
    }
    plist_t last =
        plist_array_get_item(authorized_clients, plist_array_get_size(authorized_clients) - 1);
    if (plist_get_node_type(last) != PLIST_STRING) {
        admission.status = errSecCSReqInvalid;
        return admission;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(last, &length);
    auto requirement = SecRequirementCreateWithString(std::string_view(text, length));
    if (!requirement) {
        admission.status = errSecCSReqInvalid;
        return admission;
    }
    if (!code) {
        return admission;
    }
    admission.status = SecCodeCheckValidity(*code, &*requirement, limits);
    if (admission.status == errSecSuccess) {
        admission.code = std::move(code);
    }
    return admission;
}
