#include "platform/codesign/code_signing_sign.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"
#include "platform/codesign/code_signing_directory.h"
#include "platform/codesign/code_signing_files.h"
#include "platform/codesign/code_signing_signature.h"
#include "platform/plist/property_list.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/small_file.h"

namespace code_signing {

namespace {

result<> failure(std::string description) {
    return result<>::failure(std::move(description));
}

result<> system_failure(int error, const std::string& what) {
    return result<>::system_failure(error, what + ": " + std::strerror(error));
}

std::string read_problem(int error) {
    switch (error) {
        case k_file_missing:
            return "is missing";
        case k_file_not_regular:
            return "is not a regular file";
        case k_file_too_large:
            return "is too large";
        default:
            return "can't be read";
    }
}

}  // namespace

result<> sign_bundle(const std::string& bundle_path, const std::string& identifier, X509* leaf,
                     EVP_PKEY* key, std::span<const x509_ptr> chain) {
    if (identifier.empty() || identifier.size() > k_max_identifier_length) {
        return failure("the identifier must be 1 to " + std::to_string(k_max_identifier_length) +
                       " characters long");
    }
    std::string info_path = bundle_path + "/" + k_info_plist_file;
    auto info_file = read_small_file(info_path, k_max_info_plist_size);
    if (!info_file) {
        return failure(info_path + " " + read_problem(info_file.error()));
    }
    auto info = parse_property_list(info_file->data(), info_file->size());
    if (!info || plist_get_node_type(info->get()) != PLIST_DICT) {
        return failure(info_path + " is not a property list dictionary");
    }
    plist_t name_node = plist_dict_get_item(info->get(), "CFBundleExecutable");
    std::string name;
    if (name_node != nullptr && plist_get_node_type(name_node) == PLIST_STRING) {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(name_node, &length);
        name.assign(text == nullptr ? "" : text, text == nullptr ? 0 : length);
    }
    if (!is_plain_file_name(name)) {
        return failure(info_path + " names no main executable (CFBundleExecutable)");
    }

    std::string executable_path = bundle_path + "/" + k_executable_directory + "/" + name;
    unique_fd executable(
        ::open(executable_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat executable_info {};
    if (!executable || ::fstat(executable.get(), &executable_info) != 0 ||
        !S_ISREG(executable_info.st_mode)) {
        return failure(executable_path + " is not a readable regular file");
    }
    std::uint64_t executable_size = 0;
    auto executable_hash = sha256_of_file(executable.get(), max_executable_size, &executable_size);
    if (!executable_hash) {
        return failure(executable_path + " can't be read or is too large");
    }

    code_directory_t directory;
    directory.identifier = identifier;
    auto units = certificates::subject_values(leaf, "OU");
    directory.team_identifier = units.empty() ? std::string() : units.front();
    directory.executable = name;
    directory.executable_size = executable_size;
    directory.executable_hash = *executable_hash;
    directory.info_plist_hash = sha256_of(*info_file);
    auto encoded = encode_code_directory(directory);
    if (!encoded) {
        return failure("the code directory can't be encoded");
    }
    auto signature = sign_detached(*encoded, leaf, key, chain);
    if (!signature) {
        return failure("signing failed: does the private key belong to the certificate?");
    }

    std::string signature_path = bundle_path + "/" + k_signature_directory;
    if (::mkdir(signature_path.c_str(), 0755) != 0 && errno != EEXIST) {
        return system_failure(errno, "can't create " + signature_path);
    }
    struct stat directory_info {};
    if (::lstat(signature_path.c_str(), &directory_info) != 0 || !S_ISDIR(directory_info.st_mode)) {
        return failure(signature_path + " is not a directory");
    }
    std::string directory_path = bundle_path + "/" + k_code_directory_file;
    std::string cms_path = bundle_path + "/" + k_signature_file;
    if (auto written =
            write_file_atomically(directory_path, *encoded, 0644, replaced_file_t::take_new_mode);
        !written) {
        return system_failure(written.error(), "can't write " + directory_path);
    }
    if (auto written =
            write_file_atomically(cms_path, *signature, 0644, replaced_file_t::take_new_mode);
        !written) {
        return system_failure(written.error(), "can't write " + cms_path);
    }
    return result<>::success();
}

}  // namespace code_signing
