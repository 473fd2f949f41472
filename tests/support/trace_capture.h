#pragma once

#include <string>
#include <vector>

namespace tests {

// Points the process-wide trace file at path (created on the first line), with the component
// name "helper" start-up sets. May be called again to move to another file; the previous file is
// closed.
void use_trace_file(const std::string& path);

// The lines of the trace file at path, without their line feeds; empty lines (a trimmed file
// begins with a line feed) are left out.
std::vector<std::string> trace_lines(const std::string& path);

struct trace_line_t {
    std::string level;      // "info", "warning", "error", ...
    std::string timestamp;  // "YYYY-MM-DD HH:MM:SS.mmm", UTC
    std::string component;  // "helper"
    std::string thread;     // the thread name, unpadded
    unsigned long pid = 0;
    unsigned long long thread_id = 0;
    std::string scope;    // the context's name, e.g. "helper_tool"
    std::string message;  // the formatted text after " - "
};

// Splits one line as written by the trace log; false when it has not that layout.
bool parse_trace_line(const std::string& line, trace_line_t* parsed);
// The same, with empty fields for a line of another layout.
trace_line_t parse_trace_line(const std::string& line);

// The messages of the lines at the given level ("info", "warning", "error") in the file at path.
std::vector<std::string> trace_messages(const std::string& path, const std::string& level);

}  // namespace tests
