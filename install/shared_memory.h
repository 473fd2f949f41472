#pragma once

#include "base/string.h"

// The application's POSIX shared-memory objects live under short names derived from readable
// base names ("cv_gsystem_shm", ...): XXH32 with seed 19 over the base name, its four bytes
// rendered least significant first as lowercase hexadecimal, 8 characters, no leading "/".
string_t shared_memory_object_name(const string_t& system_name, const char* suffix);

// The suffixes of one system's objects, in the order they are removed.
inline constexpr const char* k_shared_memory_suffixes[] = {"shm", "mtx", "evt_event_mtx"};
