#pragma once

#include <sys/stat.h>

#include <optional>

#include "platform/code_signing_files.h"

// Digests of executables already hashed, so that a client admitted again is not read again.
//
// Only files that no user but root can change are remembered: owned by root and writable by
// nobody else. Their content changes only through root, and any change through write(2) or
// truncate(2) moves the change time, which is part of the key with the device, inode, size and
// modification time. A file a user can write is hashed every time, since a user could change it
// through a shared writable mapping, which need not move its times on every file system.
namespace code_signing {

// The digest of the open file described by info, hashing it only when no digest of that very
// file is remembered. Nothing when it can't be read or is larger than max_size.
[[nodiscard]] std::optional<sha256_t> cached_sha256_of_file(int fd, const struct stat& info,
                                                            std::uint64_t max_size);

}  // namespace code_signing
