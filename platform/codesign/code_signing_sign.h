#pragma once

#include <span>
#include <string>

#include "platform/codesign/certificates.h"
#include "platform/posix/result.h"

namespace code_signing {

// Signs the bundle at bundle_path (NAME.app, with Contents/Info.plist naming its
// CFBundleExecutable in Contents/MacOS) as identifier, by leaf with key, embedding chain (the
// intermediates above the leaf). The team identifier is the leaf's subject OU. Writes
// Contents/_CodeSignature/, replacing an earlier signature. A failure's description names what
// was wrong, for the caller to show.
result<> sign_bundle(const std::string& bundle_path, const std::string& identifier, X509* leaf,
                     EVP_PKEY* key, std::span<const x509_ptr> chain);

}  // namespace code_signing
