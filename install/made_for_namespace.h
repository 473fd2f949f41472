#pragma once

#include <string>

// What the helper made for a namespace, remembered where only root can write, so that later
// requests re-mode and re-own that and nothing else: "/etc/ssl" is the system's, not the global
// configuration directory of a namespace called "ssl", and the helper must not open it up. An
// item is known by its device, inode and birth time, so a directory removed and made again by
// someone else, even under the same name and inode number, is not taken for the helper's.
namespace made_for_namespace {

enum class item_t { config_directory, trace_file };

// Where the records are kept: a directory of root's, mode 0700.
inline constexpr const char* k_records_directory = "/var/db/corvana-helper";

// Records that the item at path (not followed) was made by the helper for the namespace. False
// when it can't be recorded (it is then not taken for the helper's later).
bool remember(item_t item, const std::string& cv_namespace, const std::string& path);

// Whether the item at path (not followed) is the one recorded for the namespace.
bool remembered(item_t item, const std::string& cv_namespace, const std::string& path);

}  // namespace made_for_namespace
