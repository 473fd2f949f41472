#include "install/application_bundle.h"

#include "naming/paths.h"
#include "platform/codesign/code_signing.h"
#include "platform/codesign/code_signing_directory.h"
#include "platform/plist/property_list.h"
#include "platform/posix/path_text.h"

namespace application_bundle {

namespace {

// A string value of the bundle's information property list; empty when it has none.
std::string info_string(const std::string& bundle, const char* key) {
    auto info =
        read_property_list(naming::append_path_component(bundle, code_signing::k_info_plist_file));
    if (!info || plist_get_node_type(info->get()) != PLIST_DICT) {
        return {};
    }
    plist_t value = plist_dict_get_item(info->get(), key);
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return {};
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    return text == nullptr ? std::string() : std::string(text, length);
}

OSStatus validity(const std::string& path, const std::string& requirement) {
    auto compiled = SecRequirementCreateWithString(requirement);
    if (!compiled) {
        return errSecCSReqInvalid;
    }
    auto code = SecStaticCodeCreateWithPath(path);
    if (!code) {
        return errSecCSBadBundleFormat;
    }
    return SecStaticCodeCheckValidity(*code, &*compiled);
}

result<> unsatisfied(const std::string& shown, const std::string& reason) {
    return result<>::failure(shown + " does not satisfy the client requirement: " + reason);
}

}  // namespace

result<> check(const std::string& path, const std::string& shown, const std::string& requirement) {
    if (auto valid = code_signing_result(validity(path, requirement)); !valid) {
        return unsatisfied(shown, valid.description());
    }
    // The signature covers the main executable and the information list; the jobs and the start
    // must run that executable, not another file of the bundle.
    if (info_string(path, "CFBundleExecutable") !=
        last_path_component(naming::k_executable_in_bundle)) {
        return unsatisfied(
            shown, std::string("its main executable is not ") + naming::k_executable_in_bundle);
    }
    return result<>::success();
}

result<> recognised_for_removal(const std::string& path, const std::string& requirement) {
    const OSStatus status = validity(path, requirement);
    switch (status) {
        case errSecSuccess:
            return result<>::success();
        // Damaged: the files no longer match what was signed, the signature is broken or gone, or
        // the executable is missing. A valid signature of someone else's is not damage.
        case errSecCSSignatureFailed:
        case errSecCSBadObjectFormat:
        case errSecCSUnsigned:
        case errSecCSNoMainExecutable:
            if (info_string(path, "CFBundleIdentifier") == naming::k_client_identifier) {
                return result<>::success();
            }
            break;
        default:
            break;
    }
    return unsatisfied(path, code_signing_result(status).description());
}

result<> replaceable(const std::string& path, const std::string& requirement) {
    auto valid = code_signing_result(validity(path, requirement));
    if (valid || info_string(path, "CFBundleIdentifier") == naming::k_client_identifier) {
        return result<>::success();
    }
    return unsatisfied(path, valid.description());
}

}  // namespace application_bundle
