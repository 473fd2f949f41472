#pragma once

#include <cstdarg>
#include <cstdint>
#include <string_view>

// The program's owned text: a length and a heap text that is always NUL-terminated. Copies are
// deep. Used where the trace log and the shared-memory names need a text that outlives a call.
//
// A text the heap refuses raises base::out_of_memory_exception_t, except through try_copy and
// string_format, which give the empty text instead (the trace log and the exceptions themselves
// must not raise while reporting).
class string_t {
  public:
    string_t() noexcept;
    explicit string_t(std::string_view text);
    string_t(const string_t& other);
    string_t(string_t&& other) noexcept;
    string_t& operator=(const string_t& other);
    string_t& operator=(string_t&& other) noexcept;
    ~string_t();

    // Never raises: the empty text when the heap refuses the copy.
    [[nodiscard]] static string_t try_copy(std::string_view text) noexcept;

    std::uint32_t length() const { return length_; }
    bool empty() const { return length_ == 0; }
    const char* c_str() const { return text_; }
    std::string_view view() const { return {text_, length_}; }

    friend bool operator==(const string_t& a, const string_t& b) { return a.view() == b.view(); }

  private:
    // Takes ownership of a malloc'ed, NUL-terminated text of the given length.
    string_t(char* owned, std::uint32_t length) noexcept;
    friend string_t string_vformat(const char* format, va_list args);

    std::uint32_t length_;
    char* text_;
};

// printf-style formatting into a string_t, with the trace log's "%S" rewrite. A text that
// needs more than 131,070 characters gives the empty text.
string_t string_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
string_t string_vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Turns every "%S" conversion into "%s" in place ("%%S" is a percent sign and a letter and stays).
// Callers hand UTF-8 texts to both spellings.
void rewrite_wide_string_conversions(char* format) noexcept;
