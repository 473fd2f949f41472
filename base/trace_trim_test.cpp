#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/trace.h"
#include "tests/support/files.h"
#include "tests/support/trace_capture.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t k_limit = 1048576;
constexpr std::size_t k_kept = 943719;
constexpr std::size_t k_longest_line = 1151;

using tests::read_file;
using tests::write_file;

// Lines of exactly 100 bytes, cut to size: line feeds sit at offsets 99, 199, ...
std::string hundred_byte_lines(std::size_t size) {
    std::string content;
    content.reserve(size + 100);
    for (int n = 0; content.size() < size; ++n) {
        char line[101];
        std::snprintf(line, sizeof line, "%-99d\n", n);
        content += line;
    }
    content.resize(size);
    return content;
}

class TraceTrimTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = "/var/log/trace_trim_test";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ + "/corvana.trace";
    }

    // The length of the line that msg makes on this thread: only the time stamp changes between
    // two such lines, and it has a fixed width.
    std::size_t line_length(const char* message) {
        const std::string probe = dir_ + "/probe.trace";
        fs::remove(probe);
        tests::use_trace_file(probe);
        trace_info(&trace_, "%s", message);
        return fs::file_size(probe);
    }

    // Fills the trace file with prefill, appends one line of message and gives the file before
    // the writer's trim (prefill and the line, as it would be without trimming) and after.
    std::pair<std::string, std::string> append_to(const std::string& prefill, trace_t* trace,
                                                  const char* message) {
        write_file(path_, prefill);
        tests::use_trace_file(path_);
        trace_info(trace, "%s", message);
        std::string after = read_file(path_);
        return {prefill, after};
    }

    std::string dir_;
    std::string path_;
    trace_t trace_{const_cast<char*>("helper_tool"), nullptr, true};
};

TEST_F(TraceTrimTest, AFileOfExactlyOneMebibyteIsLeftAlone) {
    const std::size_t line = line_length("boundary");
    auto [prefill, after] = append_to(hundred_byte_lines(k_limit - line), &trace_, "boundary");
    EXPECT_EQ(after.size(), k_limit);
    EXPECT_EQ(after.substr(0, prefill.size()), prefill);
    EXPECT_EQ(tests::parse_trace_line(after.substr(prefill.size(), line - 1)).message, "boundary");
}

TEST_F(TraceTrimTest, OneByteMoreKeepsTheTailFromItsFirstLineFeed) {
    const std::size_t line = line_length("boundary");
    auto [prefill, after] = append_to(hundred_byte_lines(k_limit + 1 - line), &trace_, "boundary");
    // The kept tail starts at offset 1,048,577 - 943,719 = 104,858; the first line feed at or
    // after it is at 104,899, so 41 bytes of the tail go.
    EXPECT_EQ(after.size(), k_kept - 41);
    EXPECT_EQ(after.size(), 943678u);
    EXPECT_EQ(after.front(), '\n');
    EXPECT_EQ(after.substr(0, prefill.size() - 104899), prefill.substr(104899));
    EXPECT_EQ(tests::parse_trace_line(after.substr(after.size() - line, line - 1)).message,
              "boundary");

    // The next line appends to the trimmed file and trims nothing.
    trace_info(&trace_, "next");
    EXPECT_EQ(fs::file_size(path_), 943678u + line_length("next"));
}

TEST_F(TraceTrimTest, ATailWithoutLineFeedOrNulIsKeptWhole) {
    // A scope this long makes a line of 1151 bytes with no line feed of its own.
    const std::string scope(400, 's');
    trace_t wide{const_cast<char*>(scope.c_str()), nullptr, true};
    const std::string message(1000, 'm');
    const std::string prefill(k_limit + 1 - k_longest_line, 'a');
    auto [before, after] = append_to(prefill, &wide, message.c_str());
    ASSERT_EQ(after.size(), k_kept);
    EXPECT_EQ(after.find('\n'), std::string::npos);
    EXPECT_EQ(after.substr(0, k_kept - k_longest_line),
              prefill.substr(prefill.size() - (k_kept - k_longest_line)));
    // The cut line: the head with the long scope, then as much of the message as fits.
    const std::string cut_line = after.substr(after.size() - k_longest_line);
    EXPECT_EQ(cut_line.substr(0, 8), "   info ");
    const std::size_t message_start = cut_line.find(scope + " - ") + scope.size() + 3;
    EXPECT_EQ(cut_line.substr(message_start), std::string(k_longest_line - message_start, 'm'));
}

TEST_F(TraceTrimTest, ANulByteBeforeTheFirstLineFeedStartsTheKeptTail) {
    const std::size_t line = line_length("after nul");
    std::string prefill(k_limit + 1 - line, 'a');
    prefill[200000] = '\0';
    prefill[300000] = '\n';
    auto [before, after] = append_to(prefill, &trace_, "after nul");
    EXPECT_EQ(after.size(), k_limit + 1 - 200000);
    EXPECT_EQ(after.front(), '\0');
    EXPECT_EQ(after.substr(0, prefill.size() - 200000), prefill.substr(200000));
}

// Writers 0-7 are threads of this process, 8 and 9 are child processes with descriptors of
// their own; every message names its writer and number and carries the writer's own filler.
std::string filler(int writer) {
    return std::string(24, static_cast<char>('a' + writer));
}

void write_lines(int writer, int count) {
    trace_t trace{const_cast<char*>("helper_tool"), nullptr, true};
    const std::string pad = filler(writer);
    for (int n = 0; n < count; ++n) {
        trace_info(&trace, "writer %d line %d %s", writer, n, pad.c_str());
    }
}

// Checks a snapshot of the whole file: every line is one whole line of a writer, and each
// writer's lines follow each other without a gap or a repeat. Gives the first fault found.
std::string snapshot_fault(const std::string& content) {
    std::map<int, int> last;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            return "unterminated last line";
        }
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        const std::size_t at = line.find(" - writer ");
        int writer = -1;
        int number = -1;
        if (at == std::string::npos ||
            std::sscanf(line.c_str() + at, " - writer %d line %d", &writer, &number) != 2 ||
            writer < 0 || writer > 9) {
            return "not a writer's line: " + line;
        }
        const std::string expected = "writer " + std::to_string(writer) + " line " +
                                     std::to_string(number) + " " + filler(writer);
        if (line.compare(at + 3, std::string::npos, expected) != 0) {
            return "broken line: " + line;
        }
        if (auto seen = last.find(writer); seen != last.end() && number != seen->second + 1) {
            return "writer " + std::to_string(writer) + " jumps from line " +
                   std::to_string(seen->second) + " to " + std::to_string(number);
        }
        last[writer] = number;
    }
    return "";
}

struct writer_run {
    bool children_ok = true;
    std::size_t largest_size = 0;
    int snapshots = 0;
    std::string fault;  // the first fault a snapshot showed
};

// While the writers run, a watcher follows the file's size and takes snapshots under the file
// lock (through a descriptor of its own, so it excludes every writer): a line lost or broken
// in any trim shows there, not only in the few trims whose result survives to the end.
writer_run run_writers(const std::string& path, int lines_each) {
    write_file(path, "");  // for the watcher; the writers append to it
    int go[2];
    if (pipe(go) != 0) {
        return {false, 0, 0, "no pipe"};
    }
    std::vector<pid_t> children;
    for (int writer = 8; writer < 10; ++writer) {
        const pid_t child = fork();
        if (child == 0) {
            close(go[1]);
            tests::use_trace_file(path);  // a descriptor of its own, as another process has
            char byte;
            (void)!read(go[0], &byte, 1);
            write_lines(writer, lines_each);
            _exit(0);
        }
        children.push_back(child);
    }
    close(go[0]);
    tests::use_trace_file(path);

    writer_run run;
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        for (int round = 0; !done.load(); ++round) {
            struct stat status {};
            if (stat(path.c_str(), &status) == 0) {
                run.largest_size =
                    std::max(run.largest_size, static_cast<std::size_t>(status.st_size));
            }
            if (round % 16 != 0 || descriptor < 0 || !run.fault.empty()) {
                continue;
            }
            flock(descriptor, LOCK_EX);
            std::string content(static_cast<std::size_t>(lseek(descriptor, 0, SEEK_END)), '\0');
            const ssize_t got = pread(descriptor, content.data(), content.size(), 0);
            flock(descriptor, LOCK_UN);
            content.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
            run.fault = snapshot_fault(content);
            ++run.snapshots;
        }
        if (descriptor >= 0) {
            close(descriptor);
        }
    });
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 8; ++writer) {
        threads.emplace_back(write_lines, writer, lines_each);
    }
    close(go[1]);  // releases the children together with the threads
    for (auto& thread : threads) {
        thread.join();
    }
    for (pid_t child : children) {
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            run.children_ok = false;
        }
    }
    done = true;
    watcher.join();
    return run;
}

// Each writer's numbers as they appear in the file, in file order; fails on any line that is
// not one whole line of a writer.
std::map<int, std::vector<int>> numbers_by_writer(const std::string& path) {
    static const std::regex message(R"(writer (\d) line (\d+) ([a-j]{24}))");
    std::map<int, std::vector<int>> numbers;
    for (const std::string& line : tests::trace_lines(path)) {
        tests::trace_line_t parsed;
        EXPECT_TRUE(tests::parse_trace_line(line, &parsed)) << line;
        std::smatch match;
        if (!std::regex_match(parsed.message, match, message)) {
            ADD_FAILURE() << "not a whole line: " << line;
            continue;
        }
        const int writer = std::stoi(match[1]);
        EXPECT_EQ(match[3].str(), filler(writer)) << line;
        numbers[writer].push_back(std::stoi(match[2]));
    }
    return numbers;
}

TEST_F(TraceTrimTest, EightThreadsAndTwoProcessesEachGetEveryLineInOnce) {
    const writer_run run = run_writers(path_, 500);
    ASSERT_TRUE(run.children_ok);
    EXPECT_EQ(run.fault, "");
    const std::string content = read_file(path_);
    ASSERT_LT(content.size(), k_limit);  // nothing was trimmed
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 5000);

    const auto numbers = numbers_by_writer(path_);
    ASSERT_EQ(numbers.size(), 10u);
    for (const auto& [writer, seen] : numbers) {
        std::vector<int> expected(500);
        for (int n = 0; n < 500; ++n) {
            expected[n] = n;
        }
        EXPECT_EQ(seen, expected) << "writer " << writer;  // in order, none lost, none twice
    }
}

TEST_F(TraceTrimTest, LinesStayWholeWhileTheFileIsTrimmedManyTimes) {
    const writer_run run = run_writers(path_, 20000);
    ASSERT_TRUE(run.children_ok);
    EXPECT_EQ(run.fault, "");
    EXPECT_GT(run.snapshots, 0);
    EXPECT_LE(run.largest_size, k_limit + k_longest_line);
    const std::string content = read_file(path_);
    EXPECT_LE(content.size(), k_limit);
    EXPECT_GT(content.size(), k_kept - k_longest_line);
    EXPECT_EQ(content.front(), '\n');  // the trimmed head leaves its line feed
    EXPECT_EQ(content.back(), '\n');

    // The file keeps a suffix of everything appended, so each writer's lines in it run without a
    // gap up to its last line.
    std::size_t kept_lines = 0;
    for (const auto& [writer, seen] : numbers_by_writer(path_)) {
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), 19999) << "writer " << writer;
        for (std::size_t i = 1; i < seen.size(); ++i) {
            ASSERT_EQ(seen[i], seen[i - 1] + 1) << "writer " << writer << " at " << i;
        }
        kept_lines += seen.size();
    }
    EXPECT_EQ(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')),
              kept_lines + 1);
}

}  // namespace
