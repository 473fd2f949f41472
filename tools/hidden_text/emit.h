#pragma once

#include <string>

#include "tools/hidden_text/expander_plan.h"

namespace hidden_text_gen {

// The daemon's C++: the thread buffer, the masked dictionary, expand_hidden_text with the prefix
// code compiled into nested branches, and one producer per text.
[[nodiscard]] std::string emit_expander_source(const expander_plan_t& plan);

// A header for tests only: every word in plain text with its code, the end-of-text code, and the
// texts with their bit strings. Nothing in the daemon includes it.
[[nodiscard]] std::string emit_codes_header(const expander_plan_t& plan);

}  // namespace hidden_text_gen
