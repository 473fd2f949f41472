#include "install/made_for_namespace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <span>

#include "naming/paths.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/path_text.h"
#include "platform/posix/small_file.h"

namespace made_for_namespace {

namespace {

constexpr std::size_t k_max_record_size = 256;

// An item's identity: the birth time where the file system keeps one (0 otherwise).
std::optional<std::string> identity(const std::string& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &info) != 0) {
        return std::nullopt;
    }
    const bool born = (info.stx_mask & STATX_BTIME) != 0;
    char text[128];
    std::snprintf(text, sizeof text, "%u:%u %llu %lld.%09u\n", info.stx_dev_major,
                  info.stx_dev_minor, static_cast<unsigned long long>(info.stx_ino),
                  born ? static_cast<long long>(info.stx_btime.tv_sec) : 0LL,
                  born ? info.stx_btime.tv_nsec : 0U);
    return std::string(text);
}

// The records' directory, made when missing; nothing when what is there is not root's alone.
bool records_directory_ready() {
    (void)::mkdir(split_path(k_records_directory).directory.c_str(), 0755);
    (void)::mkdir(k_records_directory, 0700);
    struct stat info {};
    return ::lstat(k_records_directory, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 &&
           (info.st_mode & 077) == 0;
}

std::optional<std::string> record_path(item_t item, const std::string& cv_namespace) {
    const std::string name =
        (item == item_t::config_directory ? "config." : "trace.") + cv_namespace;
    if (!naming::is_valid_namespace(cv_namespace) || !is_single_path_component(name)) {
        return std::nullopt;
    }
    return naming::append_path_component(k_records_directory, name);
}

}  // namespace

bool remember(item_t item, const std::string& cv_namespace, const std::string& path) {
    const auto record = record_path(item, cv_namespace);
    const auto id = identity(path);
    if (!record || !id || !records_directory_ready()) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(id->data());
    return write_file_atomically(*record, std::span(bytes, id->size()), 0600,
                                 replaced_file_t::take_new_mode)
        .ok();
}

bool remembered(item_t item, const std::string& cv_namespace, const std::string& path) {
    const auto record = record_path(item, cv_namespace);
    const auto id = identity(path);
    if (!record || !id || !records_directory_ready()) {
        return false;
    }
    const auto kept = read_small_file(*record, k_max_record_size, symlink_policy_t::refuse);
    return kept.ok() && std::string(kept->begin(), kept->end()) == *id;
}

}  // namespace made_for_namespace
