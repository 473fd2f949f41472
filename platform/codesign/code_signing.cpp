#include "platform/codesign/code_signing.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/codesign/code_signing_bundle.h"
#include "platform/posix/path_text.h"
#include "platform/posix/small_file.h"

std::optional<sec_code_t> SecCodeCopyGuestWithAttributes(const audit_token_t& audit) {
    auto process = code_signing::pinned_process_t::pin(audit);
    if (!process) {
        return std::nullopt;
    }
    return sec_code_t(std::move(*process));
}

OSStatus SecCodeCheckValidity(sec_code_t& code, const sec_requirement_t* requirement,
                              const code_check_limits_t& limits) {
    const code_signing::pinned_process_t& process = code.process_;
    code.checked_image_.reset();
    auto stop = [&limits] { return limits.reached(); };
    // Stamped first and compared last: everything read in between (the executable, the maps, the
    // bundle it came from) is about this one program image, not one exec'd before or after.
    auto image = process.exec_stamp();
    unique_fd executable = process.open_executable();
    auto path = process.executable_path();
    if (!image || !executable || !path || !process.still_alive()) {
        return errSecCSNoSuchCode;
    }
    // The path must still lead to the file that runs: an unlinked or replaced file leaves us no
    // bundle to find the rest of the code in.
    struct stat running {};
    struct stat on_disk {};
    if (::fstat(executable.get(), &running) != 0 || running.st_nlink == 0 ||
        ::stat(path->c_str(), &on_disk) != 0 || on_disk.st_dev != running.st_dev ||
        on_disk.st_ino != running.st_ino) {
        return errSecCSStaticCodeChanged;
    }
    if (!process.out_of_reach()) {
        return errSecCSGuestInvalid;
    }
    // Whose code it is, before anything whose cost the process itself can drive (how many
    // threads it has, how much it maps, how many processes its user runs): an unsigned process
    // is refused here.
    auto bundle = code_signing::bundle_of_executable(*path);
    if (!bundle) {
        return errSecCSUnsigned;
    }
    if (stop()) {
        return errSecCSCancelled;
    }
    auto validation = code_signing::validate_bundle(*bundle, split_path(*path).name,
                                                    executable.get(), requirement);
    if (validation.status != errSecSuccess) {
        return validation.status;
    }
    if (stop()) {
        return errSecCSCancelled;
    }
    if (process.is_traced(stop) || !process.maps_only_system_code(executable.get(), stop) ||
        process.shares_memory(stop)) {
        return stop() ? errSecCSCancelled : errSecCSGuestInvalid;
    }
    // Everything above was read through the pinned process: still running the stamped image, it
    // was about this one.
    auto watch = process.watch_image(*image);
    if (!watch || !process.still_alive()) {
        return errSecCSNoSuchCode;
    }
    code.uid_ = process.uid();
    code.checked_image_ = std::move(*watch);
    return errSecSuccess;
}

bool sec_code_t::is_sender(pid_t pid, uid_t uid) const {
    return checked_image_ && pid == process_.pid() && uid == uid_ && checked_image_->unchanged();
}

std::optional<sec_static_code_t> SecStaticCodeCreateWithPath(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 ||
        !(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode))) {
        return std::nullopt;
    }
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    return sec_static_code_t(std::move(trimmed));
}

OSStatus SecStaticCodeCheckValidity(const sec_static_code_t& code,
                                    const sec_requirement_t* requirement) {
    struct stat info {};
    if (::stat(code.path().c_str(), &info) != 0) {
        return errSecCSBadBundleFormat;
    }
    if (!S_ISDIR(info.st_mode)) {
        return errSecCSUnsigned;
    }
    auto info_file = read_small_file(code.path() + "/" + code_signing::k_info_plist_file,
                                     code_signing::k_max_info_plist_size);
    if (!info_file && info_file.error() == k_file_missing) {
        return errSecCSBadBundleFormat;
    }
    if (!info_file) {
        return errSecCSInfoPlistFailed;
    }
    auto dictionary = parse_property_list(info_file->data(), info_file->size());
    plist_t name_node = dictionary && plist_get_node_type(dictionary->get()) == PLIST_DICT
                            ? plist_dict_get_item(dictionary->get(), "CFBundleExecutable")
                            : nullptr;
    if (!dictionary || plist_get_node_type(dictionary->get()) != PLIST_DICT) {
        return errSecCSInfoPlistFailed;
    }
    if (name_node == nullptr || plist_get_node_type(name_node) != PLIST_STRING) {
        return errSecCSNoMainExecutable;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(name_node, &length);
    std::string name(text == nullptr ? "" : text, text == nullptr ? 0 : length);
    if (!code_signing::is_plain_file_name(name)) {
        return errSecCSNoMainExecutable;
    }
    std::string executable_path =
        code.path() + "/" + code_signing::k_executable_directory + "/" + name;
    unique_fd executable(
        ::open(executable_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!executable) {
        return errSecCSNoMainExecutable;
    }
    return code_signing::validate_bundle(code.path(), name, executable.get(), requirement).status;
}
