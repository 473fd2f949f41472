#pragma once

#include <cstdlib>
#include <memory>

// Owns memory that a C library handed over with malloc, or that we took with it.
struct free_deleter_t {
    void operator()(void* pointer) const noexcept { std::free(pointer); }
};
template <typename T>
using malloced_ptr = std::unique_ptr<T, free_deleter_t>;
