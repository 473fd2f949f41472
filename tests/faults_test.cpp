// The real daemon when things go wrong around it: clients and the daemon itself killed in the
// middle of an install, a full file system under the trace, job files that are not files, and
// an authorization database someone else holds locked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>

#include "base/unique_fd.h"
#include "install/install_test_support.h"
#include "platform/authorization/authorization_sqlite.h"
#include "platform/plist/property_list.h"
#include "protocol/protocol_methods.h"
#include "tests/support/client_role.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/process_stats.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using install_testing::exists;
using install_testing::make_bundle;
using tests::read_file;
using tests::wait_until;
using tests::write_file;
namespace fs = std::filesystem;

constexpr const char* k_service_file = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
constexpr const char* k_agent_file = "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist";
constexpr const char* k_started_marker = "/tmp/corvana_started";

bool was_logged(const std::string& level, const std::string& message) {
    for (const auto& logged : tests::trace_messages(tests::k_daemon_trace, level)) {
        if (logged == message) {
            return true;
        }
    }
    return false;
}

std::size_t times_logged(const std::string& level, const std::string& message) {
    std::size_t count = 0;
    for (const auto& logged : tests::trace_messages(tests::k_daemon_trace, level)) {
        count += logged == message;
    }
    return count;
}

// Every job file in the two job directories is whole: a dictionary whose Label names the file.
// Returns what is wrong, one line per file.
std::string broken_job_files() {
    std::string problems;
    for (const char* directory : {"/Library/LaunchDaemons", "/Library/LaunchAgents"}) {
        for (const auto& entry : fs::directory_iterator(directory)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with(".")) {
                continue;  // a writer's temporary file, never a job file
            }
            auto job = read_property_list(entry.path().string(), symlink_policy_t::refuse);
            plist_t label = job && plist_get_node_type(job->get()) == PLIST_DICT
                                ? plist_dict_get_item(job->get(), "Label")
                                : nullptr;
            std::uint64_t length = 0;
            const char* text = label != nullptr && plist_get_node_type(label) == PLIST_STRING
                                   ? plist_get_string_ptr(label, &length)
                                   : nullptr;
            if (text == nullptr || std::string(text, length) + ".plist" != name) {
                problems += entry.path().string() + " is not a whole job file\n";
            }
        }
    }
    return problems;
}

void write_job_file(const std::string& path, const std::string& label) {
    std::ofstream(path, std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Label</key>\n\t<string>"
        << label << "</string>\n</dict>\n</plist>\n";
}

// Job files of many older namespaces, which an install deletes one by one just before it writes
// its own: that widens the moment between the old files going and the new ones being written.
void plant_older_namespaces(int count) {
    for (int i = 0; i < count; ++i) {
        const std::string service = "com.quillmark.corvana_old" + std::to_string(i) + ".service";
        const std::string frontend = "com.quillmark.corvana_old" + std::to_string(i) + ".Frontend";
        write_job_file("/Library/LaunchDaemons/" + service + ".plist", service);
        write_job_file("/Library/LaunchAgents/" + frontend + ".plist", frontend);
    }
}

class FaultsTest : public testing::Test {
  protected:
    void SetUp() override {
        // The signed clients live in /Applications too: only the installed bundle goes.
        fs::remove_all("/Applications/Corvana.app");
        for (const char* dir : {"/Library/LaunchDaemons", "/Library/LaunchAgents",
                                "/Library/PrivilegedHelperTools", "/usr/local/bin", "/srv"}) {
            fs::remove_all(dir);
            fs::create_directories(dir);
        }
        fs::create_directories("/Applications");
        fs::remove_all("/etc/corvana");
        fs::remove(k_started_marker);
        fs::remove(tests::k_daemon_trace);
        tests::fake_tools::reset();
        make_bundle("/srv/source/Corvana.app", k_started_marker);
        write_file("/srv/config/system.conf", "system");
        write_file("/srv/config/service.conf", "service");
    }

    static std::vector<std::string> install_command(const std::string& auth) {
        return {
            tests::signed_helperctl_path(), "install",     "--auth",      auth,          "--bundle",
            "/srv/source/Corvana.app",      "--sysconfig", "/srv/config", "--namespace", "corvana"};
    }

    static std::string install_auth() {
        return tests::issue_authorization({install_testing::install_right});
    }

    // The installed result of a complete install.
    static void expect_installed() {
        EXPECT_EQ(read_file("/Applications/Corvana.app/Contents/Resources/strings.txt"), "text");
        EXPECT_TRUE(exists(k_service_file));
        EXPECT_TRUE(exists(k_agent_file));
        EXPECT_EQ(broken_job_files(), "");
    }
};

TEST_F(FaultsTest, AClientKilledDuringAnInstallLeavesTheDaemonServing) {
    // Every launchctl run takes a while, so the install is surely in flight when its client dies.
    tests::fake_tools::set_delay("launchctl", 1.5);
    tests::daemon_session daemon;
    const std::string auth = install_auth();
    // Settled once the start-time check has ended.
    const auto before = tests::wait_until_settled(daemon.pid(), 1s, 30s);
    ASSERT_TRUE(before);
    {
        tests::child_process client(install_command(auth));
        ASSERT_TRUE(
            wait_until([] { return !tests::fake_tools::calls_of("/bin/launchctl").empty(); }, 60s));
        client.kill(SIGKILL);
        ASSERT_TRUE(client.wait_exit(10s).has_value());
    }
    // Other clients are served while the orphaned install goes on.
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
    EXPECT_EQ(daemon.helperctl({"is-installed", "nothing"}).out, "false\n");

    // The orphaned install runs to its end; its answer meets a closed connection.
    EXPECT_TRUE(wait_until([] { return was_logged("info", "** Installation finished **"); }, 60s));
    tests::fake_tools::set_delay("launchctl", 0);
    auto next = tests::run_command(install_command(auth));
    EXPECT_EQ(next.exit_code, 0) << next.err;
    EXPECT_EQ(next.out, "true\n");
    EXPECT_EQ(times_logged("info", "** Installation finished **"), 2u);
    expect_installed();
    // The orphaned connection's thread and descriptors went with it.
    const auto after = tests::wait_for_stats(
        daemon.pid(),
        [&](const tests::process_stats& s) {
            return s.threads <= before->threads && s.descriptors <= before->descriptors;
        },
        30s);
    ASSERT_TRUE(after) << "the daemon is gone";
    EXPECT_EQ(after->threads, before->threads);
    EXPECT_EQ(after->descriptors, before->descriptors) << tests::describe_descriptors(daemon.pid());
    for (const auto& error : tests::trace_messages(tests::k_daemon_trace, "error")) {
        ADD_FAILURE() << "error line: " << error;
    }
    // And it still quits cleanly once idle (a sanitizer build checks its exit for leaks).
    EXPECT_EQ(daemon.wait_exit(60s), std::optional<int>(0));
}

TEST_F(FaultsTest, TheDaemonKilledDuringAnInstallLeavesNoJobFileHalfWritten) {
    const std::string auth = install_auth();
    std::optional<tests::daemon_session> daemon(std::in_place);
    // A first complete install, so that the killed ones replace job files that exist.
    ASSERT_EQ(tests::run_command(install_command(auth)).out, "true\n");
    expect_installed();

    std::size_t in_flight = 0;
    // Which job files the killed installs left, to show that the kills fell before, between
    // and after their writing.
    std::map<std::string, int> states;
    // Fails the test at once when the install never reaches its moment: every later round would
    // only wait out its time the same way.
    auto kill_daemon_during_install =
        [&](const std::function<bool()>& time_to_kill) -> testing::AssertionResult {
        tests::child_process client(install_command(auth));
        if (!wait_until(time_to_kill, 60s, 1ms)) {
            return testing::AssertionFailure() << "the install never reached the moment to kill";
        }
        daemon->kill(SIGKILL);
        if (!daemon->wait_exit(10s)) {
            return testing::AssertionFailure() << "the killed daemon did not end";
        }
        // The client learns that its connection is gone, unless its answer came first.
        const auto status = client.wait_exit(30s);
        EXPECT_TRUE(status == 3 || status == 0) << status.value_or(-1);
        in_flight += status == 3;
        EXPECT_EQ(broken_job_files(), "");
        ++states[std::string(exists(k_service_file) ? "service" : "-") + "/" +
                 (exists(k_agent_file) ? "agent" : "-")];
        daemon.reset();
        daemon.emplace();
        return testing::AssertionSuccess();
    };

    // Stopped at known points: while the bundle is given to root, while the old jobs are
    // stopped (before the job files are written) and while the quarantine attribute is cleared
    // (after).
    const std::pair<const char*, const char*> slowed[] = {
        {"chown", "/usr/sbin/chown"}, {"launchctl", "/bin/launchctl"}, {"xattr", "/usr/bin/xattr"}};
    for (const auto& [tool, path] : slowed) {
        SCOPED_TRACE(tool);
        tests::fake_tools::reset();
        tests::fake_tools::set_delay(tool, 30);
        ASSERT_TRUE(kill_daemon_during_install(
            [path = std::string(path)] { return !tests::fake_tools::calls_of(path).empty(); }));
        tests::fake_tools::set_delay(tool, 0);
    }
    EXPECT_EQ(in_flight, 3u);

    // And at moments spread over the deleting of old job files and the writing of the new ones,
    // counted from when the first of the planted older files is gone.
    for (int delay_ms : {0, 2, 5, 10, 20, 30, 40, 60, 80, 120, 160, 200}) {
        SCOPED_TRACE(delay_ms);
        plant_older_namespaces(1000);
        tests::fake_tools::reset();
        tests::fake_tools::set_delay("xattr", 2);
        std::optional<std::chrono::steady_clock::time_point> seen;
        ASSERT_TRUE(kill_daemon_during_install([&] {
            for (int i = 0; !seen && i < 10; ++i) {
                if (!exists("/Library/LaunchDaemons/com.quillmark.corvana_old" + std::to_string(i) +
                            ".service.plist")) {
                    seen = std::chrono::steady_clock::now();
                }
            }
            return seen &&
                   std::chrono::steady_clock::now() - *seen >= std::chrono::milliseconds(delay_ms);
        }));
    }
    EXPECT_EQ(in_flight, 15u);
    std::printf("faults: %zu installs were in flight when the daemon was killed; job files left:",
                in_flight);
    for (const auto& [state, count] : states) {
        std::printf(" %s %d times;", state.c_str(), count);
    }
    std::printf("\n");

    // The daemon started again finishes the next install.
    tests::fake_tools::reset();
    fs::remove_all("/Applications/Corvana.app");
    auto next = tests::run_command(install_command(auth));
    EXPECT_EQ(next.exit_code, 0) << next.err;
    EXPECT_EQ(next.out, "true\n");
    expect_installed();
    std::size_t temporaries = 0;
    for (const char* directory : {"/Library/LaunchDaemons", "/Library/LaunchAgents"}) {
        for (const auto& entry : fs::directory_iterator(directory)) {
            temporaries += entry.path().filename().string().starts_with(".");
        }
    }
    std::printf("faults: %zu temporary job files left by the killed daemons\n", temporaries);
}

// A small file system mounted over /var/log for one test, unmounted after it.
class FullLogFileSystem : public FaultsTest {
  protected:
    void SetUp() override {
        FaultsTest::SetUp();
        fs::create_directories("/var/log");
        ASSERT_EQ(::mount("tmpfs", "/var/log", "tmpfs", 0, "size=64k,nr_inodes=16,mode=0755"), 0)
            << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) {
            ::umount2("/var/log", MNT_DETACH);
        }
    }

    // Fills the file system to the last byte.
    static void fill() {
        unique_fd filler(::open("/var/log/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(filler);
        const std::string block(4096, 'x');
        while (::write(filler.get(), block.data(), block.size()) > 0) {
        }
        while (::write(filler.get(), "x", 1) > 0) {
        }
        ASSERT_EQ(errno, ENOSPC);
    }

    bool mounted_ = false;
};

TEST_F(FullLogFileSystem, TheDaemonKeepsAnsweringWhenItsTraceCannotGrow) {
    // A trace that already holds a line and ends inside a block: the next lines partly fit. (Root's
    // alone, as the daemon makes it: one that others could write would be replaced at start.)
    write_file(tests::k_daemon_trace,
               "   info 2024-01-01 00:00:00.000     helper   main      1      1      "
               "                       main - an earlier line\n",
               fs::perms(0644));
    fill();
    const auto trace_size = fs::file_size(tests::k_daemon_trace);

    tests::daemon_session daemon;
    auto load = tests::start_client_role("Load", {"8", "50"});
    EXPECT_EQ(load->wait(120s), 0) << load->output();
    EXPECT_NE(load->output().find("answered 400 of 400"), std::string::npos) << load->output();
    // Requests that log on every step, through the command line.
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(daemon.helperctl({"start-service", "corvana"}).exit_code, 0);
        EXPECT_EQ(daemon.helperctl({"set-autostart", "on", "corvana"}).out, "true\n");
    }
    EXPECT_FALSE(daemon.wait_exit(0ms).has_value());
    EXPECT_GE(fs::file_size(tests::k_daemon_trace), trace_size);

    // Once there is room again the lines that follow are whole lines.
    fs::remove("/var/log/filler");
    EXPECT_EQ(daemon.helperctl({"start-service", "corvana"}).exit_code, 0);
    // A line that runs on from a broken one holds two time stamps.
    const std::regex time_stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
    for (const auto& line : tests::trace_lines(tests::k_daemon_trace)) {
        tests::trace_line_t parsed;
        EXPECT_TRUE(tests::parse_trace_line(line, &parsed)) << line;
        EXPECT_EQ(std::distance(std::sregex_iterator(line.begin(), line.end(), time_stamp),
                                std::sregex_iterator()),
                  1)
            << line;
    }
    EXPECT_TRUE(was_logged("info",
                           "Trying to launch: com.quillmark.corvana.service "
                           "(/Library/LaunchDaemons/com.quillmark.corvana.service.plist)."));
}

TEST_F(FullLogFileSystem, TheDaemonStartsWhenNotEvenItsTraceFileCanBeCreated) {
    fill();
    // No room for another file at all: start-up falls back to a directory in a home.
    for (int i = 0; i < 64 && std::ofstream("/var/log/empty" + std::to_string(i)); ++i) {
    }
    ASSERT_FALSE(std::ofstream(tests::k_daemon_trace));
    tests::daemon_session daemon;
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
    EXPECT_EQ(daemon.helperctl({"is-installed", "corvana"}).out, "false\n");
    EXPECT_FALSE(daemon.wait_exit(0ms).has_value());
}

// Job files that are not what they should be: a directory, a symbolic link to a file elsewhere
// and bytes that are no property list. The queries and the requests that edit job files answer,
// and what lies at or behind the path is left as it was.
TEST_F(FaultsTest, JobFilesOfTheWrongShapeAreAnsweredWithoutDamage) {
    const std::string elsewhere = "/srv/elsewhere.plist";
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (auto& byte : noise) {
        byte = static_cast<char>(random());
    }
    struct shape {
        const char* name;
        std::function<void(const std::string&)> make;
        std::function<void(const std::string&)> check;
    };
    const std::string target_text = read_file(
        std::string(CORVANA_SOURCE_DIR) + "/install/testdata/com.quillmark.corvana.service.plist");
    const std::vector<shape> shapes = {
        {"directory", [](const std::string& path) { write_file(path + "/inside", "inside"); },
         [](const std::string& path) {
             EXPECT_TRUE(fs::is_directory(fs::symlink_status(path)));
             EXPECT_EQ(read_file(path + "/inside"), "inside");
         }},
        {"symbolic link",
         [&](const std::string& path) {
             write_file(elsewhere, target_text);
             fs::create_symlink(elsewhere, path);
         },
         [&](const std::string& path) {
             EXPECT_TRUE(fs::is_symlink(path));
             EXPECT_EQ(fs::read_symlink(path), elsewhere);
             EXPECT_EQ(read_file(elsewhere), target_text);
         }},
        {"random bytes", [&](const std::string& path) { write_file(path, noise); },
         [&](const std::string& path) { EXPECT_EQ(read_file(path), noise); }},
        {"binary header and noise",
         [&](const std::string& path) { write_file(path, "bplist00" + noise); },
         [&](const std::string& path) { EXPECT_EQ(read_file(path), "bplist00" + noise); }},
        {"cut XML", [&](const std::string& path) { write_file(path, target_text.substr(0, 200)); },
         [&](const std::string& path) { EXPECT_EQ(read_file(path), target_text.substr(0, 200)); }},
    };

    tests::daemon_session daemon;
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.name);
        for (const char* path : {k_service_file, k_agent_file}) {
            fs::remove_all(path);
            fs::remove(elsewhere);
            s.make(path);
        }
        for (const std::vector<std::string>& request : std::vector<std::vector<std::string>>{
                 {"is-installed", "corvana"},
                 {"is-disabled", "corvana"},
                 {"is-run-at-load", "corvana"},
                 {"is-autostart", "corvana"},
                 {"set-autostart", "off", "corvana"},
                 {"set-autostart", "on", "corvana"},
                 {"start-service", "corvana"},
                 {"quit-service", "corvana"},
             }) {
            auto result = daemon.helperctl(request);
            EXPECT_EQ(result.exit_code, 0) << request[0] << ": " << result.err;
            EXPECT_TRUE(result.out == "true\n" || result.out == "false\n")
                << request[0] << ": " << result.out;
        }
        // The link is followed for reading only: the job it points to is disabled-free and runs
        // at load.
        if (std::string(s.name) == "symbolic link") {
            EXPECT_EQ(daemon.helperctl({"is-disabled", "corvana"}).out, "false\n");
            EXPECT_EQ(daemon.helperctl({"is-run-at-load", "corvana"}).out, "true\n");
        } else {
            // Unreadable job files count as disabled and not run at load.
            EXPECT_EQ(daemon.helperctl({"is-disabled", "corvana"}).out, "true\n");
            EXPECT_EQ(daemon.helperctl({"is-run-at-load", "corvana"}).out, "false\n");
        }
        for (const char* path : {k_service_file, k_agent_file}) {
            s.check(path);
        }
        // Nothing was added beside them either.
        EXPECT_EQ(std::distance(fs::directory_iterator("/Library/LaunchDaemons"),
                                fs::directory_iterator()),
                  1);
    }
    EXPECT_FALSE(daemon.wait_exit(0ms).has_value());
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
}

// An authorization database that another process holds locked for longer than the daemon waits:
// the check answers no in bounded time, and yes again once the lock is gone.
TEST_F(FaultsTest, ALockedAuthorizationDatabaseRefusesAndThenRecovers) {
    tests::daemon_session daemon;
    const std::string auth = tests::issue_authorization(
        {std::string(protocol::right_name(protocol::method::check_global_settings_auth))});
    EXPECT_EQ(daemon.helperctl({"check-settings-auth", "--auth", auth}).out, "true\n");

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2("/var/db/auth.db", &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite_connection_t holder(raw);
    ASSERT_EQ(sqlite3_exec(holder.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(holder.get());

    const auto asked = std::chrono::steady_clock::now();
    auto locked = daemon.helperctl({"check-settings-auth", "--auth", auth});
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_EQ(locked.exit_code, 0) << locked.err;
    EXPECT_EQ(locked.out, "false\n");
    EXPECT_LT(took, 30s);
    std::printf("faults: the settings check answered after %.1f s with the database locked\n",
                std::chrono::duration<double>(took).count());
    // Requests that don't need the database are not held up by it.
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");

    ASSERT_EQ(sqlite3_exec(holder.get(), "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    holder.reset();
    EXPECT_EQ(daemon.helperctl({"check-settings-auth", "--auth", auth}).out, "true\n");
    EXPECT_FALSE(daemon.wait_exit(0ms).has_value());
}

}  // namespace
