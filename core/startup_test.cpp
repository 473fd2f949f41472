// Where the daemon writes its trace when "/var/log/corvana.trace" can't be used, and how no user
// can make it write none.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/trace_file.h"
#include "core/startup.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/files.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The daemon runs until killed; give it the time to write its start line.
void run_daemon_briefly(const std::vector<std::string>& argv_prefix,
                        const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = argv_prefix;
    argv.push_back(CORVANA_DAEMON_PATH);
    tests::child_process daemon(argv, env);
    auto status = daemon.wait_exit(1500ms);
    (void)status;
}

bool has_start_line(const std::string& path) {
    auto lines = tests::trace_lines(path);
    return !lines.empty() && tests::parse_trace_line(lines.front()).scope == "main";
}

// The start line follows the text at position from.
bool has_start_line_after(const std::string& text, std::size_t from) {
    const std::size_t line = text.find('\n', from);
    tests::trace_line_t parsed;
    return line != std::string::npos &&
           tests::parse_trace_line(text.substr(line + 1, text.find('\n', line + 1) - line - 1),
                                   &parsed) &&
           parsed.scope == "main";
}

TEST(Startup, NonRootUserWritesIntoItsHome) {
    ASSERT_EQ(
        tests::run_command({"/usr/sbin/useradd", "-m", "-d", "/home/tracer", "tracer"}).exit_code,
        0);
    fs::remove("/var/log/corvana.trace");
    // HOME points elsewhere: the user's home comes from the user database.
    run_daemon_briefly({"/usr/bin/env", "HOME=/nonexistent", "/usr/bin/setpriv", "--reuid=tracer",
                        "--regid=tracer", "--clear-groups", "--"});
    EXPECT_FALSE(fs::exists("/var/log/corvana.trace"));
    EXPECT_TRUE(fs::is_directory("/home/tracer/.corvana"));
    EXPECT_TRUE(fs::exists("/home/tracer/.corvana/.corvana.trace"));
    EXPECT_EQ(fs::file_size("/home/tracer/.corvana/.corvana.trace"), 0u);
    EXPECT_TRUE(has_start_line("/home/tracer/.corvana/corvana.trace"));
}

TEST(Startup, RootWithoutConsoleUserOrHomeFallsBackToTmp) {
    // A directory where the trace file should be makes its open fail; nobody is logged in.
    fs::remove("/var/log/corvana.trace");
    fs::create_directory("/var/log/corvana.trace");
    std::ofstream("/var/run/utmp", std::ios::trunc);
    EXPECT_EQ(console_user_name(), "<unknown>");
    run_daemon_briefly({"/usr/bin/env", "-u", "HOME"});
    EXPECT_TRUE(has_start_line("/tmp/.corvana/corvana.trace"));
}

TEST(Startup, HomeVariableIsTheLastResortBeforeTmp) {
    fs::remove("/var/log/corvana.trace");
    fs::create_directory("/var/log/corvana.trace");
    std::ofstream("/var/run/utmp", std::ios::trunc);
    fs::create_directories("/srv/roothome");
    run_daemon_briefly({"/usr/bin/env", "HOME=/srv/roothome"});
    EXPECT_TRUE(has_start_line("/srv/roothome/.corvana/corvana.trace"));
}

TEST(Startup, AFileInPlaceOfTheDotDirectoryAborts) {
    fs::remove("/var/log/corvana.trace");
    fs::create_directory("/var/log/corvana.trace");
    std::ofstream("/var/run/utmp", std::ios::trunc);
    fs::create_directories("/srv/blocked");
    std::ofstream("/srv/blocked/.corvana") << "not a directory";
    tests::child_process daemon({"/usr/bin/env", "HOME=/srv/blocked", CORVANA_DAEMON_PATH});
    auto status = daemon.wait_exit(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
}

// Links planted where root creates its trace files are never followed: the one at
// "/var/log/corvana.trace" sends the daemon to the fallback directory, and a link in place of the
// dot directory makes it abort before it creates anything through it.
TEST(Startup, TraceLinksAreNotFollowed) {
    fs::remove("/var/log/corvana.trace");
    fs::create_symlink("/etc/corvana-planted.trace", "/var/log/corvana.trace");
    std::ofstream("/var/run/utmp", std::ios::trunc);
    fs::create_directories("/srv/linked/elsewhere");
    fs::create_directory_symlink("/srv/linked/elsewhere", "/srv/linked/.corvana");
    tests::child_process daemon({"/usr/bin/env", "HOME=/srv/linked", CORVANA_DAEMON_PATH});
    auto status = daemon.wait_exit(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_FALSE(fs::exists("/etc/corvana-planted.trace"));
    EXPECT_TRUE(fs::is_empty("/srv/linked/elsewhere"));
}

TEST(Startup, UnknownUserHasNoHome) {
    EXPECT_EQ(home_directory_for_user("<unknown>"), "");
}

// ---------------------------------------------------------------------------------------------
// A user who could write the system trace once (an earlier install left it 0666) links it: the
// writer refuses a file with more than one name, so a daemon that settled on it wrote nothing at
// all while it served that user.

constexpr const char* k_linker = "linker";

tests::command_result run_as(const std::string& user, std::vector<std::string> argv) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups", "--"});
    return tests::run_command(argv);
}

// The system trace as an earlier install left it, holding a line, and the user's link to it.
void plant_linked_trace(const std::string& link) {
    fs::remove_all("/var/log/corvana.trace");
    tests::write_file("/var/log/corvana.trace", "an earlier line\n");
    ASSERT_EQ(::chmod("/var/log/corvana.trace", 0666), 0);
    fs::remove(link);
    auto linked = run_as(k_linker, {"/bin/ln", "/var/log/corvana.trace", link});
    ASSERT_EQ(linked.exit_code, 0) << linked.err;
    // Control: through the link the user reaches the very file, and the writer refuses it as it
    // stands, which is how the daemon was silenced.
    auto forged = run_as(k_linker, {"/bin/sh", "-c", "echo forged >> " + link});
    ASSERT_EQ(forged.exit_code, 0) << forged.err;
    EXPECT_EQ(tests::read_file("/var/log/corvana.trace"), "an earlier line\nforged\n");
    errno = 0;
    EXPECT_EQ(trace_file_open(AT_FDCWD, "/var/log/corvana.trace", 0644), -1);
    EXPECT_EQ(errno, EMLINK);
}

bool holds(const std::vector<std::string>& messages, const std::string& text) {
    return std::any_of(messages.begin(), messages.end(), [&](const std::string& message) {
        return message.find(text) != std::string::npos;
    });
}

TEST(Startup, ALinkedSystemTraceIsReplacedAndTheDaemonTracesTheUsersRequests) {
    ASSERT_TRUE(tests::ensure_user(k_linker));
    const std::string link = "/var/tmp/held-trace";
    plant_linked_trace(link);
    std::vector<std::string> lines;
    {
        tests::daemon_session::options options;
        options.prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/tmp/daemon.err"};
        tests::daemon_session daemon(options);
        auto served = run_as(k_linker, {tests::signed_helperctl_path(), "version"});
        EXPECT_EQ(served.out, "2.6\n") << served.err;
        ASSERT_TRUE(tests::wait_until(
            [] {
                return holds(tests::trace_messages("/var/log/corvana.trace", "info"),
                             "active connections");
            },
            10s));
    }
    struct stat status {};
    ASSERT_EQ(::lstat("/var/log/corvana.trace", &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    EXPECT_EQ(status.st_nlink, 1u);
    const std::string written = tests::read_file("/var/log/corvana.trace");
    EXPECT_TRUE(has_start_line_after(written, written.find("forged\n")));
    const auto warnings = tests::trace_messages("/var/log/corvana.trace", "warning");
    EXPECT_TRUE(holds(warnings,
                      "replaced /var/log/corvana.trace (it had 2 names, owner uid 0, "
                      "mode 0666)"))
        << testing::PrintToString(warnings);
    EXPECT_NE(tests::read_file("/tmp/daemon.err").find("replaced /var/log/corvana.trace"),
              std::string::npos);
    // The history is copied ahead of this run's lines, the warning saying anyone could have
    // written it; nothing new reaches the user's copy.
    EXPECT_EQ(written.rfind("an earlier line\nforged\n", 0), 0u);
    EXPECT_TRUE(holds(warnings, "the lines before this run's start line were copied from it"));
    EXPECT_EQ(tests::read_file(link), "an earlier line\nforged\n");
    // Root's alone now: the user can neither write it nor, where the kernel protects hard links,
    // link it again.
    EXPECT_NE(
        run_as(k_linker, {"/bin/sh", "-c", "echo forged >> /var/log/corvana.trace"}).exit_code, 0);
    if (tests::read_file("/proc/sys/fs/protected_hardlinks") == "1\n") {
        EXPECT_NE(run_as(k_linker, {"/bin/ln", "/var/log/corvana.trace", link + "2"}).exit_code, 0);
    }
}

// What is copied from a replaced trace is bounded like the trace itself: however large a user made
// it, as much as trimming keeps, from the start of a line.
TEST(Startup, AReplacedTraceKeepsOnlyTheTailThatTrimmingKeeps) {
    fs::remove_all("/var/log/corvana.trace");
    {
        std::ofstream old("/var/log/corvana.trace", std::ios::binary);
        for (int i = 0; i < 60000; ++i) {
            old << "old line " << i << " ....................................\n";
        }
        old << "no line feed at the end";
    }
    ASSERT_EQ(::chmod("/var/log/corvana.trace", 0666), 0);
    ASSERT_GT(fs::file_size("/var/log/corvana.trace"), 2u * 1048576u);
    run_daemon_briefly({});
    const std::string kept = tests::read_file("/var/log/corvana.trace");
    const std::size_t start = kept.find("no line feed at the end\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_LE(start, k_trace_kept_tail);
    EXPECT_EQ(kept.rfind("old line ", 0), 0u);  // a whole line first
    EXPECT_NE(kept.find("old line 59999 "), std::string::npos);
    EXPECT_EQ(kept.find("old line 1000 "), std::string::npos);
    EXPECT_TRUE(has_start_line_after(kept, start));
}

// Where the name can't safely be given to a new file (here /var/log is writable by everyone),
// the linked file is refused by start-up as the writer would refuse it: the trace goes to the
// fallback, and both it and standard error say why.
TEST(Startup, ALinkedSystemTraceThatCannotBeReplacedSendsTheTraceToTheFallback) {
    ASSERT_TRUE(tests::ensure_user(k_linker));
    plant_linked_trace("/var/tmp/held-trace");
    ASSERT_EQ(::chmod("/var/log", 01777), 0);
    std::ofstream("/var/run/utmp", std::ios::trunc);
    fs::remove_all("/srv/fallback");
    fs::create_directories("/srv/fallback");
    run_daemon_briefly({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/tmp/daemon-fallback.err",
                        "/usr/bin/env", "HOME=/srv/fallback"});
    ASSERT_EQ(::chmod("/var/log", 0755), 0);
    const std::string fallback = "/srv/fallback/.corvana/corvana.trace";
    EXPECT_TRUE(has_start_line(fallback));
    const auto warnings = tests::trace_messages(fallback, "warning");
    EXPECT_TRUE(holds(warnings, "refused /var/log/corvana.trace (2 names, owner uid 0, mode 0666)"))
        << testing::PrintToString(warnings);
    EXPECT_NE(tests::read_file("/tmp/daemon-fallback.err").find("refused /var/log/corvana.trace"),
              std::string::npos);
    EXPECT_EQ(tests::read_file("/var/log/corvana.trace"), "an earlier line\nforged\n");
}

}  // namespace
