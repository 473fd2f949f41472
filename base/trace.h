#pragma once

#include <pthread.h>

#include <cstdarg>

#include "base/string.h"

// A trace context: names the scope a caller logs for.
struct trace_t {
    char* name;                     // scope name; may be null until resolved
    const char* (*name_source)();  // yields the name on first use when name is null
    bool enabled;
};

// The process-wide trace file.
struct trace_file_t {
    string_t path;
    int descriptor;  // 0 means not open
    pthread_mutex_t lock;  // recursive
};

// Process-wide values, empty at load and set by start-up before the first line.
extern trace_file_t* g_trace_file;
extern string_t g_trace_dir;
extern const char* g_trace_component;

void trace_file_init(trace_file_t* file);

void trace_info(trace_t* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_warning(trace_t* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_error(trace_t* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));

const char* trace_scope_name(trace_t* trace);
void trace_write(trace_file_t* file, int level, const char* scope, const char* format,
                 va_list args);
string_t trace_dir_join(const string_t& name);
