#include "install/shared_memory.h"

#include <sys/mman.h>
#include <xxhash.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/buffer.h"
#include "base/exception.h"
#include "helper/helper_tool.h"

namespace {

constexpr XXH32_hash_t name_seed = 19;
constexpr const char* k_name_prefix = "cv";

struct xxh32_state_deleter {
    void operator()(XXH32_state_t* state) const { XXH32_freeState(state); }
};

// System name and suffix with one "_" between; an empty suffix leaves the name as it is.
string_t join_with_underscore(const string_t& system_name, const char* suffix) {
    if (suffix == nullptr || *suffix == '\0') {
        return system_name;
    }
    std::string joined(system_name.view());
    joined += '_';
    joined += suffix;
    return string_t(joined);
}

const char* or_empty(const char* text) {
    return text != nullptr ? text : "";
}

XXH32_hash_t hash_of(const string_t& text) {
    std::unique_ptr<XXH32_state_t, xxh32_state_deleter> state(XXH32_createState());
    if (!state) {
        throw base::out_of_memory_exception_t();
    }
    XXH32_reset(state.get(), name_seed);
    XXH32_update(state.get(), text.c_str(), text.length());
    return XXH32_digest(state.get());
}

}  // namespace

string_t shared_memory_object_name(const string_t& system_name, const char* suffix) {
    const string_t joined = join_with_underscore(system_name, suffix);
    const string_t base_name = string_format("%s_%s", k_name_prefix, or_empty(joined.c_str()));
    const XXH32_hash_t digest = hash_of(base_name);

    base::buffer_t bytes(sizeof digest);
    for (std::size_t i = 0; i < sizeof digest; ++i) {
        bytes.data()[i] = static_cast<std::uint8_t>(digest >> (8 * i));
    }
    char text[2 * sizeof digest + 1];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", bytes.data()[i]);
    }
    return string_t(std::string_view(text, 2 * sizeof digest));
}

void helper_tool_t::cleanSharedMemory(string_t system_name) {
    for (const char* suffix : k_shared_memory_suffixes) {
        const string_t name = shared_memory_object_name(system_name, suffix);
        // A missing object, or one we may not remove, is none of the install's business.
        (void)::shm_unlink(name.c_str());
    }
}
