#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/codesign/certificates.h"

// The detached CMS signature over a code directory.
namespace code_signing {

// Deeper chains than this are not ours: a leaf, an intermediate or two and a root.
inline constexpr int k_max_chain_depth = 8;

// DER CMS SignedData over content, detached, signed by leaf with key; the leaf and every
// certificate of chain are embedded so the verifier needs nothing but its anchors. Nothing when
// the key does not belong to the leaf or OpenSSL refuses.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> sign_detached(
    std::span<const std::uint8_t> content, X509* leaf, EVP_PKEY* key,
    std::span<const x509_ptr> chain);

enum class signature_status {
    valid,
    malformed,        // not a detached CMS SignedData with exactly one signer
    content_changed,  // the signature doesn't cover these bytes, or its own integrity fails
    untrusted,        // the signer's chain doesn't end in one of the anchors
    unhandled_critical_extension,  // a certificate of the chain has a critical extension that
                                   // is not understood
};

struct verified_signature_t {
    signature_status status = signature_status::malformed;
    // Leaf first, anchor last; filled only for a valid signature.
    certificate_chain_t chain;
};

[[nodiscard]] verified_signature_t verify_detached(std::span<const std::uint8_t> signature,
                                                   std::span<const std::uint8_t> content,
                                                   std::span<const x509_ptr> anchors);

}  // namespace code_signing
