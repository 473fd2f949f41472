#pragma once

#include <sys/time.h>

#include <cstdarg>
#include <cstddef>

// Composing one trace line, with the columns
//   "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n"
// (level, UTC date and time with milliseconds, component, thread name, process id, thread id, an
// empty column, scope, message), without touching the heap.

constexpr std::size_t k_trace_line_size = 1152;     // a longer line is cut to 1151 bytes
constexpr std::size_t k_trace_message_size = 1024;  // a longer message is cut to 1023
constexpr std::size_t k_trace_format_size = 1024;   // a longer format is cut to 1023
constexpr std::size_t k_trace_thread_name_size = 32;

struct trace_line_fields_t {
    int level;
    timeval now;
    const char* component;
    const char* thread_name;
    unsigned pid;
    unsigned long long thread_id;
    const char* scope;
};

// "explode" to "internal" for 1 to 8, "invalid" for any other level.
const char* trace_level_name(int level);

// Writes the line into line and gives its length (no NUL is counted or needed). The format is
// cut at 1023 characters and gets the "%S" rewrite (a null format is the empty one); the message
// is cut at 1023 characters, its line breaks become blanks and its other control characters are
// shown as \xNN (so a message may take more of the line than it has characters).
std::size_t compose_trace_line(char (&line)[k_trace_line_size], const trace_line_fields_t& fields,
                               const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// The calling thread's name; "corvana" is shown as "main".
void current_trace_thread_name(char (&name)[k_trace_thread_name_size]);

// The process id and the calling thread's system id, asked of the system once per process and
// thread (and again in a child after fork).
unsigned current_trace_pid();
unsigned long long current_trace_thread_id();
