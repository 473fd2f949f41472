#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <span>

#include "platform/codesign/certificates.h"
#include "platform/codesign/code_signing_files.h"
#include "platform/codesign/code_signing_signature.h"

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

// The trust anchors, read again only when the anchor directory or one of its files changed
// (their device, inode, size, modification and change times are compared on every call).
struct trust_anchors_t {
    certificate_chain_t certificates;
    sha256_t fingerprint{};  // of the anchors' encodings, to tell one set from another
};
[[nodiscard]] std::shared_ptr<const trust_anchors_t> current_trust_anchors();

// verify_detached against the current anchors, remembering valid signatures: the same signature
// over the same code directory, against the same anchors, is verified once. A remembered chain is
// still checked against the clock on every call, so a certificate that expires meanwhile is
// refused as it would be by a fresh verification.
[[nodiscard]] verified_signature_t verify_detached_against_anchors(
    std::span<const std::uint8_t> signature, std::span<const std::uint8_t> content);

}  // namespace code_signing
