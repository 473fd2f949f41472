// The rule every namespace must pass before it becomes part of a label or a path.
#include "naming/paths.h"
#include "naming/regular_expression.h"

namespace naming {

bool is_valid_namespace(std::string_view cv_namespace) {
    // Compiled once: a pattern may serve matchers on many threads at once.
    // One character at least: the empty namespace would make "/etc" itself the global
    // configuration directory, to be re-moded and re-owned.
    static const result<regular_expression_t> rule =
        regular_expression_t::compile("^[a-zA-Z0-9_]+$");
    // The whole text must match, as a "SELF MATCHES" predicate asks.
    return rule &&
           rule->matches(cv_namespace, regular_expression_t::extent_t::whole_text).value_or(false);
}

}  // namespace naming
