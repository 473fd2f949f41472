#pragma once

#include <cstddef>

#include "base/trace.h"

// The trace file's side of writing a line: the lazy open and the locked append and trim.

// Opens the file on first use, reporting a failure on standard output and error; then appends
// the bytes under the process's lock and the whole-file lock, and cuts the file to its tail when
// it grew past 1 MiB. False when the file can't be had (the line is lost).
bool trace_file_write(trace_file_t* file, const char* line, std::size_t length);

constexpr long k_trace_file_limit = 1048576;  // a larger file is trimmed
constexpr std::size_t k_trace_kept_tail = 943719;
