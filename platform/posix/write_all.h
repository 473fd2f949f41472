#pragma once

#include <cstddef>

#include "platform/posix/result.h"

// Writes every byte to fd, again after an interruption or a short write. Calls nothing but
// write(2) and builds no text, so a child between fork and exec may use it.
result<> write_all(int fd, const void* bytes, std::size_t size);
