#include "core/admission.h"

bool client_satisfies_requirement(const audit_token_t&, plist_t) {
    // Until code signatures can be checked, nobody is admitted.
    return false;
}
