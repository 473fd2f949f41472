#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/result.h"

// Bounded reads of whole files that someone else may have put in place (a client being judged, a
// user who can write a job directory): nothing read here can be made to block the reader or to
// hand it more than it asked for.

// Why a read failed, as the error of its failure; any other error is that of the call that could
// not read the file. Only a failure has one: success has error 0 as well.
inline constexpr int k_file_missing = ENOENT;   // nothing there, or a directory on the way missing
inline constexpr int k_file_not_regular = 0;    // a directory, a device, a FIFO: refused by rule
inline constexpr int k_file_too_large = EFBIG;  // more bytes than the bound

enum class symlink_policy_t {
    follow,  // read what the link points to, as the platform's file manager does
    refuse,  // a symbolic link at the path is unreadable
};

// Reads a whole regular file of at most max_size bytes. The file is opened without blocking and
// refused unless it is a regular file, so a FIFO or device planted in place of a file can't hang
// or feed the caller. With dirfd, a relative name is resolved against that directory.
result<std::vector<std::uint8_t>> read_small_file(
    const std::string& path, std::size_t max_size,
    symlink_policy_t links = symlink_policy_t::follow);
result<std::vector<std::uint8_t>> read_small_file_at(int dirfd, const char* name,
                                                     std::size_t max_size);
