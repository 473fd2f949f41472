#pragma once

#include <cstddef>

// Writes every byte to fd, again after an interruption or a short write. False on a failure,
// with errno saying why. Calls nothing but write(2), so a child between fork and exec may use it.
[[nodiscard]] bool write_all(int fd, const void* bytes, std::size_t size);
