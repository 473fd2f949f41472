#pragma once

#include <cstdint>

// Four trace formats are not stored as plain strings: each is a short bit string of prefix codes
// over a masked dictionary, expanded on demand into the calling thread's buffer.

constexpr int k_hidden_text_buffer_size = 1024;
extern thread_local char hidden_text_buffer[k_hidden_text_buffer_size];

struct bit_reader_t {
    const std::uint8_t* next;  // next unread byte
    std::uint8_t current;      // the byte being read
    std::int32_t bit_index;    // 7..0, position in current of the next bit; 7 is the MSB
};

// Writes the text into the calling thread's hidden_text_buffer, from its start, NUL-terminated.
void expand_hidden_text(bit_reader_t* reader);

// Each expands its text into hidden_text_buffer; the caller passes the buffer as the format of
// a trace line at once.
void start_line_text();           // info start line: two C texts, "corvana" and the version
void end_line_text();             // info end line: no arguments
void job_file_missing_text();     // error line: one C text, the job file path
void job_file_unreadable_text();  // error line: one C text, the job file path
