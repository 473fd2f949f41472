#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "platform/posix/result.h"

// What a file written in place of a regular file takes from it.
enum class replaced_file_t {
    keep_mode_and_owner,  // its mode and owner (the new mode only where there was none)
    take_new_mode,        // nothing: the new mode, and the writer as owner
};

// Replaces path with bytes through a hidden temporary file in the same directory, synced and
// renamed into place, so a reader sees the old content or the new, never a part. A symbolic link
// at path is replaced, not followed; a directory there makes it fail. A failure leaves no
// temporary file behind.
result<> write_file_atomically(const std::string& path, std::span<const std::uint8_t> bytes,
                               mode_t mode, replaced_file_t replaced);
