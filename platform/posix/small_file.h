#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bounded reads of whole files that someone else may have put in place (a client being judged, a
// user who can write a job directory): nothing read here can be made to block the reader or to
// hand it more than it asked for.

enum class read_status { ok, missing, not_regular, too_large, unreadable };

struct file_contents_t {
    read_status status = read_status::unreadable;
    std::vector<std::uint8_t> bytes;
};

enum class symlink_policy_t {
    follow,  // read what the link points to, as the platform's file manager does
    refuse,  // a symbolic link at the path is unreadable
};

// Reads a whole regular file of at most max_size bytes. The file is opened without blocking and
// refused unless it is a regular file, so a FIFO or device planted in place of a file can't hang
// or feed the caller. With dirfd, a relative name is resolved against that directory.
[[nodiscard]] file_contents_t read_small_file(const std::string& path, std::size_t max_size,
                                              symlink_policy_t links = symlink_policy_t::follow);
[[nodiscard]] file_contents_t read_small_file_at(int dirfd, const char* name, std::size_t max_size);
