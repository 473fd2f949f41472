// Where the daemon writes its trace when "/var/log/corvana.trace" can't be used.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "core/startup.h"
#include "tests/support/command.h"
#include "tests/support/trace_capture.h"

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

}  // namespace
