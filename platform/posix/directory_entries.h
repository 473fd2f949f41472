#pragma once

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "platform/posix/result.h"

// Reading directories by descriptor, for walks that must not be redirected by a path that
// changes under them.

// The names in the open directory ("." and ".." left out), in name order. The descriptor stays
// the caller's.
result<std::vector<std::string>> list_directory(int dir_fd);

// The entry of the open directory, opened for reading, when it is a directory itself and not a
// symbolic link to one.
result<unique_fd> open_subdirectory(int dir_fd, const std::string& name);
