#include "base/hidden_text.h"

// Each thread's buffer of expanded hidden texts, zero at thread start.
thread_local char hidden_text_buffer[k_hidden_text_buffer_size];
