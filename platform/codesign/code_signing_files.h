#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Digests of the files the code-signing services read (with read_small_file, as everything they
// read may have been put in place by the client being judged).
namespace code_signing {

using sha256_t = std::array<std::uint8_t, 32>;

[[nodiscard]] sha256_t sha256_of(std::span<const std::uint8_t> bytes);
// Streams the descriptor from offset 0 to its end. Nothing when reading fails or the file turns
// out longer than max_size bytes.
// size, when given, receives the number of bytes hashed.
[[nodiscard]] std::optional<sha256_t> sha256_of_file(int fd, std::uint64_t max_size,
                                                     std::uint64_t* size = nullptr);

}  // namespace code_signing
