#pragma once

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "platform/posix/result.h"

// Stand-in for what the installer asks of the platform's file manager. Paths are plain texts;
// nothing here logs: a failure names the path and the system error, and the caller decides
// whether and how to log it.

namespace file_manager {

// Whether something exists at the path, following a final symbolic link (a dangling link is
// "nothing").
[[nodiscard]] bool exists(const std::string& path);
// Whether anything, a dangling symbolic link included, sits at the path.
[[nodiscard]] bool exists_no_follow(const std::string& path);
// A real directory at the path, not a symbolic link to one.
[[nodiscard]] bool is_directory_no_follow(const std::string& path);
// A real regular file at the path, not a symbolic link to one.
[[nodiscard]] bool is_regular_file_no_follow(const std::string& path);

// Creates an empty regular file (mode 0644). Refuses when anything, a symbolic link included,
// is already there, so it never writes through a planted link.
result<> create_file(const std::string& path);

// Creates the directory and any missing parents (mode 0755). An existing directory (or a link to
// one) is not a failure.
result<> create_directory(const std::string& path);

// Walks hold one descriptor per level; this bounds them (and the recursion) for hostile trees. A
// copy or removal that would go deeper fails.
inline constexpr int k_max_copy_depth = 128;

// Copies an item recursively: symbolic links are copied as links, permission bits are kept
// (set-user-ID and set-group-ID are dropped: the copy is made by root; so is write permission for
// group and others, so nobody can change the copy before its owner settles its modes), an
// existing destination is not overwritten. Device nodes, sockets and pipes are refused. When the
// copy fails half-way, whatever it had created is removed again.
result<> copy_item(const std::string& from, const std::string& to);

// Opens the directory at the path to read from. Its last component must be the directory itself:
// a symbolic link there is refused, a trailing slash notwithstanding. Whoever works from the
// descriptor then knows what it holds without resolving the path again.
result<unique_fd> open_directory_no_follow(const std::string& path);

// Copies the open directory (named from_shown in failures) to a new directory at the path, as
// copy_item copies.
result<> copy_directory_from(int from, const std::string& from_shown, const std::string& to);

// Copies the open regular file (named from_shown in failures) to a new file at the path, as
// copy_item copies a file; anything but a regular file is refused.
result<> copy_file_from(int from, const std::string& from_shown, const std::string& to);

// Removes an item recursively without following symbolic links: the walk goes by directory
// descriptors, so an entry swapped for a link during the walk can't redirect it. A missing item
// is a failure.
result<> remove_item(const std::string& path);

// Every entry below the directory as a path relative to it, parents before their contents and
// siblings in name order. Symbolic links are listed but never descended into, and a directory
// below it that can't be read is listed without its contents. A failure when the directory itself
// can't be opened. The walk goes no deeper than k_max_walk_depth levels.
inline constexpr int k_max_walk_depth = 64;
result<std::vector<std::string>> subpaths(const std::string& directory);

}  // namespace file_manager
