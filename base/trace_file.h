#pragma once

#include <cstddef>

#include "base/trace.h"

// The trace file's side of writing a line: the lazy open and the locked append and trim.

// Opens the file on first use, reporting a failure on standard output and error; then appends
// the bytes under the process's lock and the whole-file lock, and cuts the file to its tail when
// it grew past 1 MiB. False when the file can't be had (the line is lost). A line that can't have
// the whole-file lock within a short wait is kept and written before the next line that has it
// (or, once 64 KiB are kept, with the next line, without the lock).
bool trace_file_write(trace_file_t* file, const char* line, std::size_t length);

// Writes the lines still kept, with the lock when it can be had in a short wait and without it
// otherwise: for the end of the process, so that no line is lost.
void trace_file_write_kept_lines(trace_file_t* file);

constexpr long k_trace_file_limit = 1048576;  // a larger file is trimmed
constexpr std::size_t k_trace_kept_tail = 943719;
