#pragma once

#include <plist/plist.h>

#include <optional>

#include "platform/codesign/code_signing.h"
#include "platform/posix/audit_token.h"

// The client admission check: the peer's code is looked up from its audit token and checked
// against the last requirement text of authorized_clients (the "SMAuthorizedClients" array),
// within the limits given.
struct admission_t {
    // The checked code, which then vouches for each message of the connection; nothing when
    // there is no requirement, it does not compile, the code can't be found, it does not satisfy
    // the requirement or the check was given up.
    std::optional<sec_code_t> code;
    OSStatus status = errSecCSNoSuchCode;
};
[[nodiscard]] admission_t admit_client(const audit_token_t& token, plist_t authorized_clients,
                                       const code_check_limits_t& limits);
