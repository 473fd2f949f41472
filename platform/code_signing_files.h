#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// File access of the code-signing services: everything they read may have been put in place by
// the client being judged, so every read is bounded and nothing here can be made to block.
namespace code_signing {

enum class read_status { ok, missing, not_regular, too_large, unreadable };

struct file_contents_t {
    read_status status = read_status::unreadable;
    std::vector<std::uint8_t> bytes;
};

// Reads a whole regular file of at most max_size bytes. The file is opened without blocking and
// refused unless it is a regular file, so a FIFO or device planted in place of a file can't hang
// or feed the caller. With dirfd, a relative name is resolved against that directory.
[[nodiscard]] file_contents_t read_small_file(const std::string& path, std::size_t max_size);
[[nodiscard]] file_contents_t read_small_file_at(int dirfd, const char* name, std::size_t max_size);

using sha256_t = std::array<std::uint8_t, 32>;

[[nodiscard]] sha256_t sha256_of(std::span<const std::uint8_t> bytes);
// Streams the descriptor from offset 0 to its end. Nothing when reading fails or the file turns
// out longer than max_size bytes.
[[nodiscard]] std::optional<sha256_t> sha256_of_file(int fd, std::uint64_t max_size);

}  // namespace code_signing
