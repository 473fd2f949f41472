#include "base/exception.h"

namespace base {

// The message copy never raises: an exception that reports a refused allocation must not need
// an allocation to exist.
exception_t::exception_t(const char* message)
    : message_(string_t::try_copy(message == nullptr ? "" : message)) {}

exception_t::~exception_t() = default;

out_of_memory_exception_t::out_of_memory_exception_t()
    : exception_t("The program ran out of memory.") {}

}  // namespace base
