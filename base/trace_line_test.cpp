#include "base/trace_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace {

// What the line is by definition: the column format through snprintf into a buffer of the same
// size, with the message first cut at 1023 characters.
std::string reference_line(const trace_line_fields_t& f, const std::string& message) {
    const std::time_t seconds = f.now.tv_sec;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char line[k_trace_line_size];
    std::snprintf(line, sizeof line,
                  "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n",
                  trace_level_name(f.level), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(f.now.tv_usec / 1000),
                  f.component, f.thread_name, f.pid, f.thread_id, "", f.scope,
                  message.substr(0, 1023).c_str());
    return line;
}

std::string compose(const trace_line_fields_t& fields, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char line[k_trace_line_size];
    const std::size_t length = compose_trace_line(line, fields, format, args);
    va_end(args);
    return std::string(line, length);
}

TEST(ComposeTraceLine, MatchesTheColumnFormatAtEveryCut) {
    const std::string long_scope(150, 'k');
    const std::string long_component(30, 'c');
    for (const char* scope : {"helper_tool", "", long_scope.c_str()}) {
        for (const char* component : {"helper", long_component.c_str()}) {
            trace_line_fields_t fields{
                6,       {1700000000, 123456},    component, "corvana-15chars",
                4194304, 18446744073709551615ull, scope};
            // Message lengths around the 1023 cut and around the end of the line.
            for (std::size_t length = 0; length <= 1100; ++length) {
                const std::string message(length, 'm');
                ASSERT_EQ(compose(fields, "%s", message.c_str()), reference_line(fields, message))
                    << "scope " << std::strlen(scope) << " component " << std::strlen(component)
                    << " message " << length;
            }
        }
    }
}

TEST(ComposeTraceLine, WritesDatesTimesAndSmallNumbersWithTheirPadding) {
    // 2000-02-29 23:59:59.999, a leap day, and 1970-01-01 00:00:00.000.
    for (const timeval now :
         {timeval{951868799, 999999}, timeval{0, 0}, timeval{4102444800, 500}}) {
        trace_line_fields_t fields{4, now, "helper", "", 7, 0, "main"};
        EXPECT_EQ(compose(fields, "x %d", 1), reference_line(fields, "x 1"));
    }
    trace_line_fields_t fields{9, {951868799, 1000}, "helper", "t", 1, 2, "s"};
    EXPECT_EQ(compose(fields, "m"),
              "invalid 2000-02-29 23:59:59.001     helper      t      1      2     "
              "                                s - m\n");
}

TEST(ComposeTraceLine, EndsTheMessageAtAZeroByteAndRewritesCapitalS) {
    trace_line_fields_t fields{6, {0, 0}, "helper", "t", 1, 2, "s"};
    const char* capital = "%S|%%S";  // through a variable: the compiler reads %S as wide text
    EXPECT_EQ(compose(fields, capital, "utf-8 \xc3\xa9"),
              reference_line(fields, "utf-8 \xc3\xa9|%S"));
    EXPECT_EQ(compose(fields, "ab%cde", 0), reference_line(fields, "ab"));
}

TEST(ComposeTraceLine, ShowsControlCharactersEscapedAndLineBreaksAsBlanks) {
    trace_line_fields_t fields{6, {0, 0}, "helper", "t", 1, 2, "s"};
    // What a client could hide in an argument: a window title, a bell, a clear screen in C1 form,
    // a line break; UTF-8 text stays as it is.
    EXPECT_EQ(
        compose(fields, "from: %s *",
                "a\x1b]0;title\x07|\t\x7f|\xc2\x9b"
                "2J|\r\nx|\xc3\xa9"),
        reference_line(fields, "from: a\\x1b]0;title\\x07|\\x09\\x7f|\\xc2\\x9b2J|  x|\xc3\xa9 *"));
    // The escapes make the message longer than the line: it stops before the first escape that
    // does not fit whole, and the cut line has no line feed.
    const std::string escapes(1023, '\x1b');
    const std::string line = compose(fields, "%s", escapes.c_str());
    EXPECT_EQ(line.size(), 104u + 4 * ((k_trace_line_size - 1 - 104) / 4));
    EXPECT_TRUE(line.ends_with("\\x1b")) << line;
}

TEST(CurrentTraceIds, AreTheProcessAndThreadIdsAlsoInAForkedChild) {
    EXPECT_EQ(current_trace_pid(), static_cast<unsigned>(getpid()));
    EXPECT_EQ(current_trace_thread_id(), static_cast<unsigned long long>(gettid()));
    unsigned long long other = 0;
    std::thread([&] { other = current_trace_thread_id(); }).join();
    EXPECT_NE(other, current_trace_thread_id());
    EXPECT_NE(other, 0u);

    const pid_t child = fork();
    if (child == 0) {
        const bool fresh = current_trace_pid() == static_cast<unsigned>(getpid()) &&
                           current_trace_thread_id() == static_cast<unsigned long long>(gettid());
        _exit(fresh ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
