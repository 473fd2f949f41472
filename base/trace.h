#pragma once

#include <pthread.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "base/string.h"

// A trace context: names the scope a caller logs for.
struct trace_t {
    char* name;                    // scope name; may be null until resolved
    const char* (*name_source)();  // yields the name on first use when name is null
    bool enabled;
};

// Frees a name that came from the context's name source (a name given directly is a literal and
// stays); the context is left with a null name.
void trace_release(trace_t* trace);

// The process-wide trace file.
struct trace_file_t {
    string_t path;
    int descriptor;        // 0 means not open
    pthread_mutex_t lock;  // recursive; held while a line opens, appends to and trims the file
    // When at least 0: the directory the file lies in, held open since start-up, so the file is
    // opened by its last path component relative to it and a directory swapped for a link later
    // can't lead the writer elsewhere.
    int directory;
    // Someone else held the file lock past the wait for it: later lines don't wait again until
    // the lock can be had.
    bool lock_contended;
    // Lines that could not have the lock, in their order, for the next line that has it.
    std::vector<std::string> kept_lines;
    std::size_t kept_bytes;
};

// Process-wide values, empty at load and set by start-up before the first line.
extern trace_file_t* g_trace_file;
extern string_t g_trace_dir;
extern const char* g_trace_component;

// Empty path, not open, a recursive lock.
void trace_file_init(trace_file_t* file);

// Levels of the line table; only the three below have entry points.
constexpr int k_trace_error = 4;
constexpr int k_trace_warning = 5;
constexpr int k_trace_info = 6;

void trace_info(trace_t* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_warning(trace_t* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_error(trace_t* trace, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same lines for formats made at run time (the expanded hidden texts), which the compiler
// can't check against their arguments; -Wformat-security rightly refuses such a format with no
// arguments through the checked entry points. The caller vouches that the arguments match.
void trace_info_unchecked(trace_t* trace, const char* format, ...);
void trace_warning_unchecked(trace_t* trace, const char* format, ...);
void trace_error_unchecked(trace_t* trace, const char* format, ...);

// Any level, with the arguments already gathered.
void trace_vlog(trace_t* trace, int level, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

const char* trace_scope_name(trace_t* trace);
void trace_write(trace_file_t* file, int level, const char* scope, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));
string_t trace_dir_join(const string_t& name);
