#include "platform/posix/memory.h"

#include <malloc.h>

void release_free_memory() {
    ::malloc_trim(0);
}
