#include "base/trace_line.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/string.h"

namespace {

constexpr const char* k_level_names[] = {"explode", "auth", "crash", "error",
                                         "warning", "info", "debug", "internal"};

// Appends to the line the way snprintf into the same buffer would: right-aligned, padded
// columns; whatever passes the last byte of the line is dropped.
class line_writer {
  public:
    explicit line_writer(char (&line)[k_trace_line_size]) : line_(line) {}

    void put(char c) {
        if (length_ < k_trace_line_size - 1) {
            line_[length_++] = c;
        }
    }

    void put_padded(const char* text, std::size_t width) {
        const std::size_t text_length = std::strlen(text);
        for (std::size_t i = text_length; i < width; ++i) {
            put(' ');
        }
        for (std::size_t i = 0; i < text_length; ++i) {
            put(text[i]);
        }
    }

    // As "%0<width>lld" (zero) or "%<width>lld" (space) would print it.
    void put_number(long long value, std::size_t width, char pad) {
        char digits[24];
        std::size_t count = 0;
        const bool negative = value < 0;
        unsigned long long magnitude =
            negative ? 0ull - static_cast<unsigned long long>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        const std::size_t used = count + (negative ? 1 : 0);
        if (pad == ' ') {
            for (std::size_t i = used; i < width; ++i) {
                put(' ');
            }
        }
        if (negative) {
            put('-');
        }
        if (pad == '0') {
            for (std::size_t i = used; i < width; ++i) {
                put('0');
            }
        }
        while (count > 0) {
            put(digits[--count]);
        }
    }

    void put_unsigned(unsigned long long value, std::size_t width) {
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (std::size_t i = count; i < width; ++i) {
            put(' ');
        }
        while (count > 0) {
            put(digits[--count]);
        }
    }

    // The message is formatted on its own (at most 1023 characters) and then copied into the
    // line as far as the line holds it; the line feed only when the whole message went in and
    // there is room left for it.
    void put_message(const char* format, va_list args) __attribute__((format(printf, 2, 0))) {
        char message[k_trace_message_size];
        if (std::vsnprintf(message, sizeof message, format, args) < 0) {
            message[0] = '\0';
        }
        // A "%c" of a zero byte ends the message, as it would end a "%s" of it.
        const std::size_t message_length = std::strlen(message);
        for (std::size_t i = 0; i < message_length; ++i) {
            if (!put_shown(message, message_length, i)) {
                return;
            }
        }
        put('\n');
    }

    std::size_t length() const { return length_; }

  private:
    bool fits(std::size_t count) const { return length_ + count <= k_trace_line_size - 1; }

    // Arguments come from clients too, and a reader's terminal acts on what it is shown: a line
    // break would end this line early and let the rest pass for a line of its own, an escape
    // sequence could rewrite what is on the screen. Line breaks become blanks; every other
    // control character (C0, DEL, and C1 as UTF-8 writes it) is shown as \xNN. Advances i past
    // a two-byte character; false when what comes next no longer fits.
    bool put_shown(const char* message, std::size_t length, std::size_t& i) {
        const auto byte = static_cast<unsigned char>(message[i]);
        if (byte == '\n' || byte == '\r') {
            return put_if_room(' ');
        }
        if (byte < 0x20 || byte == 0x7f) {
            return put_escaped(&byte, 1);
        }
        const unsigned char next = i + 1 < length ? static_cast<unsigned char>(message[i + 1]) : 0;
        if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            const unsigned char pair[] = {byte, next};
            ++i;
            return put_escaped(pair, 2);
        }
        return put_if_room(static_cast<char>(byte));
    }

    bool put_if_room(char c) {
        if (!fits(1)) {
            return false;
        }
        put(c);
        return true;
    }

    // All of the escapes or none: half of one would read as something else.
    bool put_escaped(const unsigned char* bytes, std::size_t count) {
        static constexpr char k_hex[] = "0123456789abcdef";
        if (!fits(4 * count)) {
            return false;
        }
        for (std::size_t k = 0; k < count; ++k) {
            put('\\');
            put('x');
            put(k_hex[bytes[k] >> 4]);
            put(k_hex[bytes[k] & 0xf]);
        }
        return true;
    }

    char (&line_)[k_trace_line_size];
    std::size_t length_ = 0;
};

// Invalidated in a child after fork, so the child asks again.
std::atomic<pid_t> g_cached_pid{0};

void forget_cached_pid() {
    g_cached_pid.store(0, std::memory_order_relaxed);
}

}  // namespace

const char* trace_level_name(int level) {
    if (level < 1 || level > 8) {
        return "invalid";
    }
    return k_level_names[level - 1];
}

std::size_t compose_trace_line(char (&line)[k_trace_line_size], const trace_line_fields_t& fields,
                               const char* format, va_list args) {
    char rewritten[k_trace_format_size];
    const std::size_t format_length = format == nullptr ? 0 : strnlen(format, sizeof rewritten - 1);
    std::memcpy(rewritten, format, format_length);
    rewritten[format_length] = '\0';
    rewrite_wide_string_conversions(rewritten);

    // Broken down as UTC without the C library's time-zone lock.
    using namespace std::chrono;
    const sys_seconds seconds{std::chrono::seconds{fields.now.tv_sec}};
    const sys_days day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{seconds - day};

    line_writer out(line);
    out.put_padded(trace_level_name(fields.level), 7);
    out.put(' ');
    out.put_number(static_cast<int>(date.year()), 4, '0');
    out.put('-');
    out.put_number(static_cast<unsigned>(date.month()), 2, '0');
    out.put('-');
    out.put_number(static_cast<unsigned>(date.day()), 2, '0');
    out.put(' ');
    out.put_number(time.hours().count(), 2, '0');
    out.put(':');
    out.put_number(time.minutes().count(), 2, '0');
    out.put(':');
    out.put_number(time.seconds().count(), 2, '0');
    out.put('.');
    out.put_number(fields.now.tv_usec / 1000, 3, '0');
    out.put(' ');
    out.put_padded(fields.component, 10);
    out.put(' ');
    out.put_padded(fields.thread_name, 6);
    out.put(' ');
    out.put_unsigned(fields.pid, 6);
    out.put(' ');
    out.put_unsigned(fields.thread_id, 6);
    out.put(' ');
    out.put_padded("", 4);
    out.put(' ');
    out.put_padded(fields.scope, 32);
    out.put(' ');
    out.put('-');
    out.put(' ');
    out.put_message(rewritten, args);
    return out.length();
}

void current_trace_thread_name(char (&name)[k_trace_thread_name_size]) {
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
        name[0] = '\0';
    }
    name[sizeof name - 1] = '\0';
    if (std::strcmp(name, "corvana") == 0) {
        std::strcpy(name, "main");
    }
}

unsigned current_trace_pid() {
    static const int registered = pthread_atfork(nullptr, nullptr, forget_cached_pid);
    (void)registered;
    pid_t pid = g_cached_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        g_cached_pid.store(pid, std::memory_order_relaxed);
    }
    return static_cast<unsigned>(pid);
}

unsigned long long current_trace_thread_id() {
    struct cached_t {
        unsigned pid = 0;
        pid_t thread_id = 0;
    };
    thread_local cached_t cached;
    const unsigned pid = current_trace_pid();
    if (cached.pid != pid) {
        cached.thread_id = gettid();
        cached.pid = pid;
    }
    return static_cast<unsigned long long>(cached.thread_id < 0 ? 0 : cached.thread_id);
}
