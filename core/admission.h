#pragma once

#include <plist/plist.h>

#include <optional>

#include "platform/codesign/code_signing.h"
#include "platform/posix/audit_token.h"

// The client admission check: the peer's code is looked up from its audit token and checked
// against the last requirement text of authorized_clients (the "SMAuthorizedClients" array).
// The checked code, which then vouches for each message of the connection; nothing when there is
// no requirement, it does not compile, the code can't be found or it does not satisfy the
// requirement.
[[nodiscard]] std::optional<sec_code_t> admitted_client_code(const audit_token_t& token,
                                                             plist_t authorized_clients);
