#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/trace.h"

// The trace file's side of writing a line: the lazy open and the locked append and trim.

// Opens a trace file for appending, the one way both the writer and start-up's choice of the file
// do: name relative to directory (AT_FDCWD for a path), not through a symbolic link, created with
// mode when missing, never truncated. A file that the writer must not append to is refused: one
// that is no regular file (EINVAL: a FIFO would block every writer) or that has more than one name
// (EMLINK: a hard link planted by a user may lead to a file of theirs or to a system file). Gives
// the descriptor (0 is possible when standard input was closed), or -1 with errno set.
int trace_file_open(int directory, const char* name, mode_t mode);

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
