#include "base/trace.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/hidden_text.h"
#include "tests/support/files.h"
#include "tests/support/trace_capture.h"

namespace fs = std::filesystem;

namespace {

using tests::read_file;
using tests::write_file;

// A level without an entry point, or a format the compiler would read as a wide-text conversion.
void log_at(trace_t* trace, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    trace_vlog(trace, level, format, args);
    va_end(args);
}

// Runs body on a fresh thread with the given name, so the thread column is known.
template <typename Body>
void on_named_thread(const char* name, Body body) {
    std::thread thread([&] {
        pthread_setname_np(pthread_self(), name);
        body();
    });
    thread.join();
}

class TraceTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = "/var/log/trace_test";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ + "/corvana.trace";
        tests::use_trace_file(path_);
    }

    std::string dir_;
    std::string path_;
    trace_t helper_{const_cast<char*>("helper_tool"), nullptr, true};
};

std::string expected_head(const char* level, const char* thread, const char* scope) {
    char head[256];
    std::snprintf(head, sizeof head, "%7s YYYY-MM-DD HH:MM:SS.mmm %10s %6s %6u %6llu %4s %32s - ",
                  level, "helper", thread, static_cast<unsigned>(getpid()),
                  static_cast<unsigned long long>(gettid()), "", scope);
    return head;
}

TEST_F(TraceTest, WritesOneLineInFixedColumns) {
    std::string expected;
    timeval before{};
    timeval after{};
    on_named_thread("tw", [&] {
        expected = expected_head("info", "tw", "helper_tool") + "started 2 jobs\n";
        gettimeofday(&before, nullptr);
        trace_info(&helper_, "started %d %s", 2, "jobs");
        gettimeofday(&after, nullptr);
    });
    const std::string written = read_file(path_);
    ASSERT_EQ(written.size(), expected.size()) << written;
    EXPECT_EQ(expected.find(" - "), 101u);
    EXPECT_EQ(expected.find("started"), 104u);

    // Everything but the time stamp is compared byte for byte.
    std::string masked = written;
    masked.replace(8, 23, "YYYY-MM-DD HH:MM:SS.mmm");
    EXPECT_EQ(masked, expected);

    // The stamp is UTC, with milliseconds, inside the window of the call.
    std::tm utc{};
    ASSERT_NE(strptime(written.substr(8, 19).c_str(), "%Y-%m-%d %H:%M:%S", &utc), nullptr);
    const long long stamp_ms =
        static_cast<long long>(timegm(&utc)) * 1000 + std::stoi(written.substr(28, 3));
    EXPECT_GE(stamp_ms, static_cast<long long>(before.tv_sec) * 1000 + before.tv_usec / 1000);
    EXPECT_LE(stamp_ms, static_cast<long long>(after.tv_sec) * 1000 + after.tv_usec / 1000);
    EXPECT_EQ(written[12], '-');
    EXPECT_EQ(written[15], '-');
    EXPECT_EQ(written[18], ' ');
    EXPECT_EQ(written[21], ':');
    EXPECT_EQ(written[27], '.');

    tests::trace_line_t parsed;
    ASSERT_TRUE(tests::parse_trace_line(tests::trace_lines(path_).at(0), &parsed));
    EXPECT_EQ(parsed.level, "info");
    EXPECT_EQ(parsed.component, "helper");
    EXPECT_EQ(parsed.thread, "tw");
    EXPECT_EQ(parsed.pid, static_cast<unsigned long>(getpid()));
    EXPECT_EQ(parsed.scope, "helper_tool");
    EXPECT_EQ(parsed.message, "started 2 jobs");
}

TEST_F(TraceTest, NamesTheLevelsAndLabelsOthersInvalid) {
    log_at(&helper_, 0, "zero");
    log_at(&helper_, 2, "two");
    log_at(&helper_, 3, "three");
    trace_error(&helper_, "four");
    trace_warning(&helper_, "five");
    trace_info(&helper_, "six");
    log_at(&helper_, 7, "seven");
    log_at(&helper_, 8, "eight");
    log_at(&helper_, 9, "nine");
    log_at(&helper_, -1, "minus");
    std::vector<std::string> seen;
    for (const std::string& line : tests::trace_lines(path_)) {
        auto parsed = tests::parse_trace_line(line);
        seen.push_back(parsed.level + ":" + parsed.message);
    }
    EXPECT_THAT(seen, testing::ElementsAre("invalid:zero", "auth:two", "crash:three", "error:four",
                                           "warning:five", "info:six", "debug:seven",
                                           "internal:eight", "invalid:nine", "invalid:minus"));
    // The level column widens for nothing: "internal" is the only name longer than seven.
    EXPECT_EQ(tests::trace_lines(path_).at(0).substr(0, 8), "invalid ");
    EXPECT_EQ(tests::trace_lines(path_).at(7).substr(0, 9), "internal ");
}

TEST_F(TraceTest, CutsTheMessageAt1023Characters) {
    const std::string exact(1023, 'm');
    const std::string longer = std::string(1023, 'n') + "TAIL";
    trace_info(&helper_, "%s", exact.c_str());
    trace_info(&helper_, "%s", longer.c_str());
    const auto lines = tests::trace_lines(path_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(tests::parse_trace_line(lines[0]).message, exact);
    EXPECT_EQ(tests::parse_trace_line(lines[1]).message, std::string(1023, 'n'));
    EXPECT_EQ(read_file(path_).back(), '\n');
}

TEST_F(TraceTest, CutsTheFormatAt1023Characters) {
    std::string format(1023, 'f');
    format += "%s";  // beyond the cut, so it never consumes its argument
    log_at(&helper_, 6, format.c_str(), "never");
    EXPECT_EQ(tests::parse_trace_line(tests::trace_lines(path_).at(0)).message,
              std::string(1023, 'f'));
}

TEST_F(TraceTest, ALineLongerThanItsBufferIsCutTo1151BytesWithoutLineFeed) {
    const std::string scope(200, 's');
    trace_t wide{const_cast<char*>(scope.c_str()), nullptr, true};
    const std::string message(1023, 'm');
    trace_info(&wide, "%s", message.c_str());
    trace_info(&helper_, "next");
    const std::string written = read_file(path_);
    const std::size_t next = written.find("   info ", 1);
    ASSERT_NE(next, std::string::npos);
    EXPECT_EQ(next, 1151u);
    EXPECT_EQ(written.substr(0, 1151).find('\n'), std::string::npos);
}

TEST_F(TraceTest, ReadsACapitalSAsUtf8AndKeepsADoubledPercent) {
    log_at(&helper_, 6, "user %S", "J\xc3\xb6rg");
    log_at(&helper_, 6, "100%%S done %S", "x");
    log_at(&helper_, 6, "%%%S", "y");
    const auto lines = tests::trace_lines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(tests::parse_trace_line(lines[0]).message, "user J\xc3\xb6rg");
    EXPECT_EQ(tests::parse_trace_line(lines[1]).message, "100%S done x");
    EXPECT_EQ(tests::parse_trace_line(lines[2]).message, "%y");
}

TEST_F(TraceTest, ShowsAThreadNamedCorvanaAsMainAndAnUnnamedOneAsSpaces) {
    on_named_thread("corvana", [&] { trace_info(&helper_, "a"); });
    on_named_thread("", [&] { trace_info(&helper_, "b"); });
    on_named_thread("corvana2", [&] { trace_info(&helper_, "c"); });
    const auto lines = tests::trace_lines(path_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(42, 8), "   main ");
    EXPECT_EQ(lines[1].substr(42, 8), "        ");
    EXPECT_EQ(tests::parse_trace_line(lines[2]).thread, "corvana2");
}

TEST_F(TraceTest, ShowsEachThreadItsOwnId) {
    std::set<unsigned long long> ids;
    for (int i = 0; i < 3; ++i) {
        on_named_thread("t", [&] { trace_info(&helper_, "x"); });
    }
    for (const auto& line : tests::trace_lines(path_)) {
        ids.insert(tests::parse_trace_line(line).thread_id);
    }
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids.count(0), 0u);
}

TEST_F(TraceTest, ADisabledContextWritesAndPrintsNothing) {
    trace_t disabled{const_cast<char*>("helper_tool"), nullptr, false};
    tests::use_trace_file(dir_ + "/missing/corvana.trace");  // not even the open is tried
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    trace_info(&disabled, "quiet");
    trace_warning(&disabled, "quiet");
    trace_error(&disabled, "quiet");
    log_at(&disabled, 1, "quiet");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists(dir_ + "/missing"));
}

TEST_F(TraceTest, ReportsAFileThatCannotBeOpenedAndRetriesOnTheNextLine) {
    const std::string sub = dir_ + "/later";
    tests::use_trace_file(sub + "/corvana.trace");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    trace_info(&helper_, "lost");
    log_at(&helper_, 1, "lost too, and no abort without a file");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error opening logfile (2)Error opening logfile (2)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Could not create the logfile (2)Logging error."
              "Could not create the logfile (2)Logging error.");

    fs::create_directories(sub);
    trace_info(&helper_, "kept");
    EXPECT_THAT(tests::trace_messages(sub + "/corvana.trace", "info"),
                testing::ElementsAre("kept"));
}

TEST_F(TraceTest, NoTraceFileObjectOnlyReportsALoggingError) {
    trace_file_t* saved = g_trace_file;
    g_trace_file = nullptr;
    testing::internal::CaptureStderr();
    trace_error(&helper_, "nowhere");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Logging error.");
    g_trace_file = saved;
}

TEST_F(TraceTest, CreatesTheFileWithoutTruncatingItAndAppends) {
    write_file(path_, "earlier line\n");
    tests::use_trace_file(path_);
    trace_info(&helper_, "appended");
    const auto lines = tests::trace_lines(path_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_EQ(tests::parse_trace_line(lines[1]).message, "appended");
}

TEST_F(TraceTest, KeepsTheDescriptorFromBeingInherited) {
    trace_info(&helper_, "open");
    const int descriptor = g_trace_file->descriptor;
    ASSERT_GT(descriptor, 0);
    EXPECT_NE(fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(TraceTest, LevelOneWritesItsLineThenAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(log_at(&helper_, 1, "fatal %d", 7), "");
    EXPECT_THAT(tests::trace_messages(path_, "explode"), testing::ElementsAre("fatal 7"));
}

// The trace file of a root daemon may live in a user's home, where the user can plant links.
TEST_F(TraceTest, DoesNotFollowAPlantedSymbolicLink) {
    const std::string victim = "/etc/trace_test_victim";
    write_file(victim, "root only\n");
    fs::remove(path_);
    fs::create_symlink(victim, path_);
    tests::use_trace_file(path_);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    trace_info(&helper_, "must not land in the victim");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening logfile (40)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Could not create the logfile (40)Logging error.");
    EXPECT_EQ(read_file(victim), "root only\n");
    fs::remove(victim);
}

TEST_F(TraceTest, DoesNotAppendThroughAPlantedHardLinkOrToAFifo) {
    const std::string victim = "/etc/trace_test_hard_victim";
    write_file(victim, "root only\n");
    fs::remove(path_);
    fs::create_hard_link(victim, path_);
    tests::use_trace_file(path_);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    trace_info(&helper_, "must not land in the victim");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening logfile (31)");
    EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::EndsWith("Logging error."));
    EXPECT_EQ(read_file(victim), "root only\n");
    fs::remove(path_);
    fs::remove(victim);

    // A FIFO with no reader would block every later line once its buffer filled.
    ASSERT_EQ(mkfifo(path_.c_str(), 0666), 0);
    tests::use_trace_file(path_);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    trace_info(&helper_, "not into a pipe");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening logfile (22)");
    EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::EndsWith("Logging error."));
}

// The whole-file lock taken through an open file description of its own, as another process
// (any user: the file is world-readable) would take it; flock tells them apart.
class foreign_lock {
  public:
    explicit foreign_lock(const std::string& path)
        : descriptor_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        held_ = descriptor_ >= 0 && flock(descriptor_, LOCK_EX | LOCK_NB) == 0;
    }
    ~foreign_lock() {
        if (descriptor_ >= 0) {
            close(descriptor_);
        }
    }
    foreign_lock(const foreign_lock&) = delete;
    foreign_lock& operator=(const foreign_lock&) = delete;
    bool held() const { return held_; }
    void release() { flock(descriptor_, LOCK_UN); }

  private:
    int descriptor_;
    bool held_ = false;
};

// Someone holding the lock costs the first line its short wait and no later line any: fifty
// lines each waiting would take 2.5 s. The lines kept meanwhile come, in their order, before the
// first line written once the lock is free again.
TEST_F(TraceTest, ALockHeldElsewhereCostsOneWaitAndKeepsTheLinesInOrder) {
    trace_info(&helper_, "before");
    std::vector<std::string> expected{"before"};
    {
        foreign_lock other(path_);
        ASSERT_TRUE(other.held());
        const auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < 50; ++i) {
            trace_info(&helper_, "kept %d", i);
            expected.push_back("kept " + std::to_string(i));
        }
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, std::chrono::seconds(1));
        // Control: the lock really kept them out of the file.
        EXPECT_THAT(tests::trace_messages(path_, "info"), testing::ElementsAre("before"));
        other.release();
        trace_info(&helper_, "after");
        expected.push_back("after");
    }
    EXPECT_EQ(tests::trace_messages(path_, "info"), expected);
}

TEST_F(TraceTest, AnOpenThatYieldsDescriptorZeroIsTreatedAsNotOpen) {
    EXPECT_EXIT(
        {
            close(STDIN_FILENO);
            trace_info(&helper_, "lost on descriptor zero");
            trace_info(&helper_, "second try");
            const auto messages = tests::trace_messages(path_, "info");
            std::_Exit(messages.size() == 1 && messages[0] == "second try" ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^Could not create the logfile \\([0-9]+\\)Logging error\\.$");
}

// The name source may expand a hidden text of its own into the thread's buffer, where the
// caller's format already lies.
const char* scope_from_source() {
    std::strcpy(hidden_text_buffer, "clobbered %d %d %d");
    return "sourced_scope";
}

int g_source_calls = 0;
const char* counting_source() {
    ++g_source_calls;
    return "counted";
}

TEST_F(TraceTest, ResolvesANameSourceOnceAndKeepsTheHiddenTextBuffer) {
    trace_t sourced{nullptr, scope_from_source, true};
    std::strcpy(hidden_text_buffer, "from the buffer: %s");
    trace_info_unchecked(&sourced, hidden_text_buffer, "arg");
    EXPECT_STREQ(hidden_text_buffer, "from the buffer: %s");
    ASSERT_NE(sourced.name, nullptr);
    EXPECT_STREQ(sourced.name, "sourced_scope");
    auto parsed = tests::parse_trace_line(tests::trace_lines(path_).at(0));
    EXPECT_EQ(parsed.scope, "sourced_scope");
    EXPECT_EQ(parsed.message, "from the buffer: arg");
    trace_release(&sourced);
    EXPECT_EQ(sourced.name, nullptr);

    trace_t counted{nullptr, counting_source, true};
    g_source_calls = 0;
    EXPECT_STREQ(trace_scope_name(&counted), "counted");
    EXPECT_STREQ(trace_scope_name(&counted), "counted");
    EXPECT_EQ(g_source_calls, 1);
    trace_release(&counted);

    trace_t nameless{nullptr, nullptr, true};
    EXPECT_EQ(trace_scope_name(&nameless), nullptr);
    trace_release(&helper_);  // a literal name stays
    EXPECT_STREQ(helper_.name, "helper_tool");
}

TEST_F(TraceTest, ANameResolvedByManyThreadsAtOnceIsKeptOnce) {
    trace_t shared{nullptr, counting_source, true};
    std::vector<const char*> names(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < names.size(); ++i) {
        threads.emplace_back([&, i] { names[i] = trace_scope_name(&shared); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const char* name : names) {
        EXPECT_EQ(name, shared.name);
    }
    trace_release(&shared);
}

TEST_F(TraceTest, AnEndLineFormatWithoutArgumentsGoesThroughTheUncheckedEntries) {
    std::strcpy(hidden_text_buffer, "done at 100%%");
    trace_info_unchecked(&helper_, hidden_text_buffer);
    trace_warning_unchecked(&helper_, hidden_text_buffer);
    trace_error_unchecked(&helper_, hidden_text_buffer);
    std::vector<std::string> seen;
    for (const auto& line : tests::trace_lines(path_)) {
        auto parsed = tests::parse_trace_line(line);
        seen.push_back(parsed.level + ":" + parsed.message);
    }
    EXPECT_THAT(seen, testing::ElementsAre("info:done at 100%", "warning:done at 100%",
                                           "error:done at 100%"));
}

TEST(TraceDirJoin, JoinsWithOneSlashAndMergesNothing) {
    const string_t saved = g_trace_dir;
    g_trace_dir = string_t("/var/log/");
    EXPECT_EQ(trace_dir_join(string_t("corvana.trace")).view(), "/var/log//corvana.trace");
    EXPECT_EQ(trace_dir_join(string_t()).view(), "/var/log/");
    g_trace_dir = string_t("/Users/x");
    EXPECT_EQ(trace_dir_join(string_t(".corvana")).view(), "/Users/x/.corvana");
    g_trace_dir = string_t();
    EXPECT_EQ(trace_dir_join(string_t("a")).view(), "/a");
    g_trace_dir = saved;
}

TEST(TraceCapture, ParsesLinesWithSpacesInThreadNamesAndDashesInMessages) {
    const std::string line =
        "warning 2024-01-02 03:04:05.006     helper my thread     12    345                 "
        "                helper_tool - a - b - c";
    tests::trace_line_t parsed;
    ASSERT_TRUE(tests::parse_trace_line(line, &parsed));
    EXPECT_EQ(parsed.level, "warning");
    EXPECT_EQ(parsed.timestamp, "2024-01-02 03:04:05.006");
    EXPECT_EQ(parsed.thread, "my thread");
    EXPECT_EQ(parsed.pid, 12u);
    EXPECT_EQ(parsed.thread_id, 345u);
    EXPECT_EQ(parsed.scope, "helper_tool");
    EXPECT_EQ(parsed.message, "a - b - c");
    EXPECT_FALSE(tests::parse_trace_line("not a trace line", &parsed));
}

}  // namespace
