#pragma once

// Hands memory that the allocator holds free back to the system. A burst of connections leaves
// per-thread arenas full of free pages; an idle daemon should not keep them.
void release_free_memory();
