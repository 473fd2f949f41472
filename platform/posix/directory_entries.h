#pragma once

#include <string>
#include <vector>

#include "platform/posix/result.h"
#include "platform/posix/unique_fd.h"

// Reading directories by descriptor, for walks that must not be redirected by a path that
// changes under them.

// The names in the open directory ("." and ".." left out), in name order. The descriptor stays
// the caller's.
result_t list_directory(int dir_fd, std::vector<std::string>& names);

// The entry of the open directory, opened for reading into directory, when it is a directory
// itself and not a symbolic link to one.
result_t open_subdirectory(int dir_fd, const std::string& name, unique_fd& directory);
