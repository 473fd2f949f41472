#include "base/string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "base/exception.h"
#include "base/malloced.h"

namespace {

// Every empty string_t shares this text, so empty texts, moves and failed copies never touch the
// heap and never fail.
char k_empty_text[1] = {'\0'};

using heap_text = malloced_ptr<char>;

// Null when the heap refuses or the text is too long for a 32-bit length.
char* duplicate(std::string_view text) noexcept {
    if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace

string_t::string_t() noexcept : length_(0), text_(k_empty_text) {}

string_t::string_t(char* owned, std::uint32_t length) noexcept : length_(length), text_(owned) {}

string_t::string_t(std::string_view text) : string_t() {
    if (text.empty()) {
        return;
    }
    char* copy = duplicate(text);
    if (copy == nullptr) {
        throw base::out_of_memory_exception_t();
    }
    text_ = copy;
    length_ = static_cast<std::uint32_t>(text.size());
}

string_t string_t::try_copy(std::string_view text) noexcept {
    if (text.empty()) {
        return string_t();
    }
    char* copy = duplicate(text);
    if (copy == nullptr) {
        return string_t();
    }
    return string_t(copy, static_cast<std::uint32_t>(text.size()));
}

string_t::string_t(const string_t& other) : string_t(other.view()) {}

string_t::string_t(string_t&& other) noexcept : length_(other.length_), text_(other.text_) {
    other.length_ = 0;
    other.text_ = k_empty_text;
}

string_t& string_t::operator=(const string_t& other) {
    if (this != &other) {
        string_t copy(other);
        *this = std::move(copy);
    }
    return *this;
}

string_t& string_t::operator=(string_t&& other) noexcept {
    if (this != &other) {
        if (text_ != k_empty_text) {
            std::free(text_);
        }
        length_ = other.length_;
        text_ = other.text_;
        other.length_ = 0;
        other.text_ = k_empty_text;
    }
    return *this;
}

string_t::~string_t() {
    if (text_ != k_empty_text) {
        std::free(text_);
    }
}

void rewrite_wide_string_conversions(char* format) noexcept {
    for (char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        if (p[1] == '%') {
            ++p;  // a literal percent sign starts no conversion
        } else if (p[1] == 'S') {
            p[1] = 's';
        }
    }
}

namespace {

constexpr std::size_t k_first_size = 1024;
constexpr std::size_t k_last_size = 131072;

}  // namespace

string_t string_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    string_t result = string_vformat(format, args);
    va_end(args);
    return result;
}

string_t string_vformat(const char* format, va_list args) {
    heap_text rewritten(duplicate(format == nullptr ? "" : format));
    if (!rewritten) {
        return string_t();
    }
    rewrite_wide_string_conversions(rewritten.get());

    // The buffer sizes go from 1024 to 131072 bytes, doubling; a buffer of N bytes takes at most
    // N - 2 characters. The first attempt, on the stack, tells the length, so a longer text goes
    // straight to the size that fits instead of through every size between.
    char first[k_first_size];
    va_list copy;
    va_copy(copy, args);
    const int written = std::vsnprintf(first, sizeof first - 1, rewritten.get(), copy);
    va_end(copy);
    if (written < 0) {
        return string_t();
    }
    const auto needed = static_cast<std::size_t>(written);
    if (needed < sizeof first - 1) {
        // A "%c" of a zero byte ends the text early.
        return string_t::try_copy(std::string_view(first, std::strlen(first)));
    }

    std::size_t size = k_first_size;
    while (size <= k_last_size && needed >= size - 1) {
        size *= 2;
    }
    if (size > k_last_size) {
        return string_t();
    }
    heap_text buffer(static_cast<char*>(std::malloc(size)));
    if (!buffer) {
        return string_t();
    }
    va_copy(copy, args);
    std::vsnprintf(buffer.get(), size - 1, rewritten.get(), copy);
    va_end(copy);
    const auto length = static_cast<std::uint32_t>(std::strlen(buffer.get()));
    return string_t(buffer.release(), length);
}
