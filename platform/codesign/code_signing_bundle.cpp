#include "platform/codesign/code_signing_bundle.h"

#include <sys/stat.h>

#include "platform/codesign/code_signing_cache.h"
#include "platform/codesign/code_signing_files.h"
#include "platform/codesign/code_signing_signature.h"
#include "platform/posix/small_file.h"

namespace code_signing {

namespace {

OSStatus read_failure(int error) {
    switch (error) {
        case k_file_missing:
            return errSecCSUnsigned;
        case k_file_too_large:
            return errSecCSTooBig;
        default:
            return errSecCSSignatureFailed;
    }
}

OSStatus signature_failure(signature_status status) {
    switch (status) {
        case signature_status::untrusted:
            return errSecCSSignatureUntrusted;
        case signature_status::unhandled_critical_extension:
            return errSecUnknownCriticalExtensionFlag;
        default:
            return errSecCSSignatureFailed;
    }
}

}  // namespace

std::optional<std::string> bundle_of_executable(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || !is_plain_file_name(path.substr(slash + 1))) {
        return std::nullopt;
    }
    std::string_view directory = path.substr(0, slash);
    constexpr std::string_view tail = "/Contents/MacOS";
    if (!directory.ends_with(tail)) {
        return std::nullopt;
    }
    std::string_view bundle = directory.substr(0, directory.size() - tail.size());
    std::size_t name_start = bundle.rfind('/');
    std::string_view name =
        name_start == std::string_view::npos ? bundle : bundle.substr(name_start + 1);
    if (name.size() <= 4 || !name.ends_with(".app")) {
        return std::nullopt;
    }
    return std::string(bundle);
}

validation_t validate_bundle(const std::string& bundle_path, std::string_view executable_name,
                             int executable_fd, const sec_requirement_t* requirement) {
    auto fail = [](OSStatus status) {
        validation_t failed;
        failed.status = status;
        return failed;
    };
    std::string base = bundle_path + "/";
    auto directory_file = read_small_file(base + k_code_directory_file, k_max_code_directory_size);
    if (!directory_file) {
        return fail(read_failure(directory_file.error()));
    }
    auto signature_bytes = read_small_file(base + k_signature_file, k_max_signature_size);
    if (!signature_bytes) {
        return fail(read_failure(signature_bytes.error()));
    }
    verified_signature_t signature =
        verify_detached_against_anchors(*signature_bytes, *directory_file);
    if (signature.status != signature_status::valid) {
        return fail(signature_failure(signature.status));
    }
    auto directory = decode_code_directory(*directory_file);
    if (!directory) {
        return fail(errSecCSBadObjectFormat);
    }
    // The signature names its main executable: another file of the bundle is not covered by it.
    if (directory->executable != executable_name) {
        return fail(errSecCSSignatureFailed);
    }

    auto info_file = read_small_file(base + k_info_plist_file, k_max_info_plist_size);
    if (!info_file) {
        return fail(info_file.error() == k_file_too_large ? errSecCSTooBig
                                                          : errSecCSInfoPlistFailed);
    }
    if (sha256_of(*info_file) != directory->info_plist_hash) {
        return fail(errSecCSSignatureFailed);
    }
    auto dictionary = parse_property_list(info_file->data(), info_file->size());
    if (!dictionary || plist_get_node_type(dictionary->get()) != PLIST_DICT) {
        return fail(errSecCSInfoPlistFailed);
    }
    if (requirement != nullptr) {
        requirement_context_t context;
        context.identifier = directory->identifier;
        context.chain = signature.chain;
        context.anchored = true;  // a validated chain always ends in an anchor
        context.info = dictionary->get();
        if (!requirement->is_satisfied_by(context)) {
            return fail(errSecCSReqFailed);
        }
    }

    struct stat info {};
    if (::fstat(executable_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return fail(errSecCSSignatureFailed);
    }
    if (static_cast<std::uint64_t>(info.st_size) != directory->executable_size) {
        return fail(errSecCSSignatureFailed);
    }
    auto executable_hash = cached_sha256_of_file(executable_fd, info, directory->executable_size);
    if (!executable_hash || *executable_hash != directory->executable_hash) {
        return fail(errSecCSSignatureFailed);
    }

    validation_t result;
    result.status = errSecSuccess;
    result.code.directory = std::move(*directory);
    result.code.chain = std::move(signature.chain);
    result.code.info = std::move(*dictionary);
    return result;
}

}  // namespace code_signing
