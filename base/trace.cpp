#include "base/trace.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/hidden_text.h"
#include "base/trace_file.h"
#include "base/trace_line.h"

trace_file_t* g_trace_file = nullptr;
string_t g_trace_dir;
const char* g_trace_component = nullptr;

namespace {

constexpr int k_explode = 1;

void log_through(trace_t* trace, int level, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

void log_through(trace_t* trace, int level, const char* format, va_list args) {
    if (trace == nullptr || !trace->enabled) {
        return;
    }
    const char* scope = trace_scope_name(trace);
    trace_write(g_trace_file, level, scope, format, args);
}

}  // namespace

void trace_file_init(trace_file_t* file) {
    file->path = string_t();
    file->descriptor = 0;
    file->directory = -1;
    file->lock_contended = false;
    file->kept_lines.clear();
    file->kept_bytes = 0;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&file->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void trace_release(trace_t* trace) {
    if (trace->name != nullptr && trace->name_source != nullptr) {
        std::free(trace->name);
    }
    if (trace->name_source != nullptr) {
        trace->name = nullptr;
    }
}

const char* trace_scope_name(trace_t* trace) {
    std::atomic_ref<char*> name(trace->name);
    if (char* known = name.load(std::memory_order_acquire); known != nullptr) {
        return known;
    }
    if (trace->name_source == nullptr) {
        return nullptr;
    }
    // The caller's format may lie in this very buffer, and the source may expand a text into it.
    char saved[k_hidden_text_buffer_size];
    std::memcpy(saved, hidden_text_buffer, sizeof saved);
    const char* produced = trace->name_source();
    char* copy = produced == nullptr ? nullptr : strdup(produced);
    std::memcpy(hidden_text_buffer, saved, sizeof saved);
    if (copy == nullptr) {
        return nullptr;
    }
    // Two threads may resolve the same context at once: the first copy stays, the other goes.
    char* expected = nullptr;
    if (!name.compare_exchange_strong(expected, copy, std::memory_order_acq_rel)) {
        std::free(copy);
        return expected;
    }
    return copy;
}

void trace_write(trace_file_t* file, int level, const char* scope, const char* format,
                 va_list args) {
    if (file == nullptr) {
        dprintf(STDERR_FILENO, "Logging error.");
        return;
    }

    // One reading for both the seconds and the milliseconds, so a second that ends between two
    // readings can't put a stamp a whole second off.
    trace_line_fields_t fields{};
    gettimeofday(&fields.now, nullptr);
    char thread_name[k_trace_thread_name_size];
    current_trace_thread_name(thread_name);
    fields.level = level;
    fields.component = g_trace_component == nullptr ? "" : g_trace_component;
    fields.thread_name = thread_name;
    fields.pid = current_trace_pid();
    fields.thread_id = current_trace_thread_id();
    fields.scope = scope == nullptr ? "(null)" : scope;

    // The line is composed before the file is opened (a line that can't be written costs its
    // formatting) so that the lock is taken once per line.
    char line[k_trace_line_size];
    const std::size_t length = compose_trace_line(line, fields, format, args);
    if (!trace_file_write(file, line, length)) {
        dprintf(STDERR_FILENO, "Logging error.");
        return;
    }

    if (level == k_explode) {
        std::abort();
    }
}

void trace_vlog(trace_t* trace, int level, const char* format, va_list args) {
    log_through(trace, level, format, args);
}

#define CORVANA_TRACE_ENTRY(function, level)                 \
    void function(trace_t* trace, const char* format, ...) { \
        va_list args;                                        \
        va_start(args, format);                              \
        log_through(trace, level, format, args);             \
        va_end(args);                                        \
    }

CORVANA_TRACE_ENTRY(trace_info, k_trace_info)
CORVANA_TRACE_ENTRY(trace_warning, k_trace_warning)
CORVANA_TRACE_ENTRY(trace_error, k_trace_error)
CORVANA_TRACE_ENTRY(trace_info_unchecked, k_trace_info)
CORVANA_TRACE_ENTRY(trace_warning_unchecked, k_trace_warning)
CORVANA_TRACE_ENTRY(trace_error_unchecked, k_trace_error)

string_t trace_dir_join(const string_t& name) {
    if (name.empty()) {
        return g_trace_dir;
    }
    std::string joined;
    joined.reserve(g_trace_dir.length() + 1 + name.length());
    joined.append(g_trace_dir.view()).append("/").append(name.view());
    return string_t(joined);
}
