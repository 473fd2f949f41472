#pragma once

#include <cstdarg>
#include <cstdint>
#include <string_view>

// The program's owned text: a length and a heap text that is always NUL-terminated. Copies are
// deep. Used where the trace log and the shared-memory names need a text that outlives a call.
class string_t {
public:
    string_t();
    explicit string_t(std::string_view text);
    string_t(const string_t& other);
    string_t(string_t&& other) noexcept;
    string_t& operator=(const string_t& other);
    string_t& operator=(string_t&& other) noexcept;
    ~string_t();

    std::uint32_t length() const { return length_; }
    bool empty() const { return length_ == 0; }
    const char* c_str() const { return text_; }
    std::string_view view() const { return {text_, length_}; }

private:
    std::uint32_t length_;
    char* text_;
};

// printf-style formatting into a string_t, with the trace log's "%S" rewrite. A text that
// needs more than 131,070 characters gives the empty text.
string_t string_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
string_t string_vformat(const char* format, va_list args);
