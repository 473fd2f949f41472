#pragma once

#include <plist/plist.h>

#include "platform/audit_token.h"

// The client admission check: the peer's code is looked up from its audit token and checked
// against the last requirement text of authorized_clients (the "SMAuthorizedClients" array).
// False when there is no requirement, it does not compile, the code can't be found or it does
// not satisfy the requirement.
bool client_satisfies_requirement(const audit_token_t& token, plist_t authorized_clients);
